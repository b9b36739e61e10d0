#pragma once

#include "buffers/buffer_pool.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace shuffler_test {

constexpr std::uint64_t block = shuffler::sg_buffer::block_size;
constexpr std::uint64_t pool_blocks = 64;

// For tests that use the process-wide pool. main creates it once, and so does every test
// process, on first use; each test starts with it full and idle and must give every block back.
class pool_test : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool created = (shuffler::the_buffer_pool.create(1), true);
        (void)created;
        ASSERT_EQ(shuffler::the_buffer_pool.free_blocks(), pool_blocks);
        ASSERT_TRUE(shuffler::the_buffer_pool.waiters().empty());
    }
    void TearDown() override {
        EXPECT_TRUE(shuffler::the_buffer_pool.waiters().empty()) << "a coroutine still waits";
        EXPECT_EQ(shuffler::the_buffer_pool.free_blocks(), pool_blocks) << "blocks leaked";
    }
};

// Runs the handlers that are ready; a loop that ran out of work must be restarted first.
inline std::size_t poll(boost::asio::io_context& io) {
    io.restart();
    return io.poll();
}

// Runs `body` as one coroutine until the loop runs out of work.
inline void run_in_coroutine(std::function<void(boost::asio::yield_context)> body) {
    boost::asio::io_context io;
    boost::asio::spawn(io, std::move(body));
    io.run();
}

// The blocks of a list, in list order, by identity; `n` limits how many.
inline std::vector<const shuffler::sg_buffer*> blocks_of(const shuffler::block_list& list,
                                                         std::size_t n = SIZE_MAX) {
    std::vector<const shuffler::sg_buffer*> out;
    for (auto b = list.begin(); b != list.end() && out.size() < n; ++b)
        out.push_back(&*b);
    return out;
}

} // namespace shuffler_test
