#pragma once

#include "buffers/buffer_pool.hpp"
#include "buffers/block_chain.hpp"
#include "support/loop.hpp"

#include <boost/asio/io_context.hpp>
#include "core/coroutine.hpp"
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace shuffler_test {

constexpr std::uint64_t block_bytes = shuffler::block::block_size;
constexpr std::uint64_t pool_blocks = 64;

// One pool of 64 blocks serves every test of a process; each test must give back what it takes.
inline shuffler::buffer_pool& test_pool() {
    static shuffler::buffer_pool pool;
    static const bool created = (pool.create(pool_blocks * block_bytes), true);
    (void)created;
    return pool;
}

// Each test starts with the pool full and idle and must give every block back.
class pool_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(test_pool().free_blocks(), pool_blocks);
        ASSERT_TRUE(test_pool().waiters().empty());
    }
    void TearDown() override {
        EXPECT_TRUE(test_pool().waiters().empty()) << "a coroutine still waits";
        EXPECT_EQ(test_pool().free_blocks(), pool_blocks) << "blocks leaked";
    }
};

// Runs the ready handlers; a loop that ran out of work must be restarted first.
inline std::size_t poll(boost::asio::io_context& io) {
    io.restart();
    return io.poll();
}

// Runs `body(io, yield)` as the only coroutine of a fresh loop until the loop runs out of work.
template <class Body> void run_in_coroutine(Body body) {
    boost::asio::io_context io;
    run_coroutine(io, [&](const boost::asio::yield_context& yield) { body(io, yield); });
}

// The blocks of a list by identity, in list order; at most `n`.
inline std::vector<const shuffler::block*> blocks_of(const shuffler::block_list& list,
                                                         std::size_t n = SIZE_MAX) {
    std::vector<const shuffler::block*> out;
    for (auto b = list.begin(); b != list.end() && out.size() < n; ++b)
        out.push_back(&*b);
    return out;
}

} // namespace shuffler_test
