#include "io/byte_ring.hpp"

#include "buffers/pool_fixture.hpp"

#include <gtest/gtest.h>

#include <boost/asio/posix/stream_descriptor.hpp>

#include <algorithm>
#include <string>
#include <thread>
#include <unistd.h>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

constexpr std::uint64_t ring_size = 64 * 1024;

char byte_at(std::uint64_t position) { return char('a' + position % 251 % 26); }

// A thread writes many times the ring's size in odd-sized pieces, asking for more room than the
// consumer ever frees at once; the loop reads every byte where it lies, keeping back a tail the
// way a reader keeps a partial record, and must see each byte once and in order.
TEST(ByteRing, PassesEveryByteInOrderAcrossTheWrap) {
    const std::uint64_t total = 40 * ring_size + 12345;
    byte_ring ring(ring_size);
    std::thread producer([&] {
        std::uint64_t written = 0;
        for (std::uint64_t piece = 1; written < total; piece = piece * 7 % 9973 + 1) {
            const auto [room, space] = ring.wait_for_room(ring_size); // all of it, or any if waited
            ASSERT_GT(space, 0u);
            const std::uint64_t n = std::min({piece, space, total - written});
            for (std::uint64_t i = 0; i < n; ++i)
                room[i] = byte_at(written + i);
            ring.commit(n);
            written += n;
        }
        ring.finish();
    });
    std::uint64_t checked = 0, mismatches = 0;
    run_in_coroutine([&](asio::io_context& io, const asio::yield_context& yield) {
        asio::posix::stream_descriptor wakeup(io, ::dup(ring.wakeup_fd()));
        std::uint64_t seen = 0; // unread bytes already checked
        for (;;) {
            ring.wait_for_more(seen, wakeup, yield);
            const auto [start, unread] = ring.unread();
            if (unread == seen)
                break; // finished
            for (std::uint64_t i = seen; i < unread; ++i) // contiguous, wrap or not
                mismatches += start[i] != byte_at(checked + i - seen);
            checked += unread - seen;
            const std::uint64_t kept = std::min<std::uint64_t>(unread, 1000);
            ring.release(unread - kept);
            seen = kept;
        }
    });
    producer.join();
    EXPECT_EQ(checked, total);
    EXPECT_EQ(mismatches, 0u);
}

TEST(ByteRing, ClosingReleasesAProducerWaitingForRoom) {
    byte_ring ring(ring_size);
    ring.commit(ring_size); // full
    std::uint64_t space = 1;
    std::thread producer([&] { space = ring.wait_for_room(1).second; });
    ring.close();
    producer.join();
    EXPECT_EQ(space, 0u);
}

} // namespace
