#include "buffers/buffer_pool.hpp"
#include "core/coroutine.hpp"

#include "buffers/pool_fixture.hpp"

using namespace shuffler;
using namespace shuffler_test;

namespace {

using strings = std::vector<std::string>;

TEST(BufferPoolCreate, RoundsUpToWholeBlocksInChunksOfAtMostSixtyFourInAddressOrder) {
    const std::pair<std::uint64_t, std::uint64_t> bytes_to_blocks[] = {
        {0, 0},   {1, 1}, {block_bytes, 1}, {block_bytes + 1, 2}, {buffer_pool::chunk_size, 64},
        {buffer_pool::chunk_size + 1, 65}};
    for (const auto& [bytes, blocks] : bytes_to_blocks) {
        SCOPED_TRACE(bytes);
        buffer_pool pool;
        pool.create(bytes);
        EXPECT_EQ(pool.free_blocks(), blocks);
        std::uint64_t index = 0;
        const char* previous = nullptr;
        for (const block& b : pool.free_list()) {
            EXPECT_EQ(b.capacity, block_bytes);
            EXPECT_EQ(b.end + b.begin, 0u);
            // Within a chunk, each block starts where the one before it ends.
            EXPECT_TRUE(index++ % buffer_pool::blocks_per_chunk == 0 || b.data == previous + block_bytes);
            previous = b.data;
        }
    }
}

// Coroutines waiting for blocks of an exhausted pool, and the order in which releases serve them.
class pool_waiting : public pool_test {
protected:
    boost::asio::io_context io;
    strings events;
    block_chain hog{test_pool()}; // every block the test has not handed back yet
    // What the waiters acquire into.
    block_chain first{test_pool()}, second{test_pool()}, third{test_pool()};

    void SetUp() override {
        pool_test::SetUp();
        run_in_coroutine([this](auto&, auto yield) { hog.acquire(pool_blocks * block_bytes, yield); });
    }
    void TearDown() override {
        test_pool().waiters().cancel_all(); // no waiter may outlive `io` or its list
        poll(io);
        for (block_chain* list : {&hog, &first, &second, &third})
            list->release();
        pool_test::TearDown();
    }

    // Gives `n` of the hog's blocks back through release(), then lets the woken run.
    void release_blocks(std::size_t n) {
        block_chain some(test_pool());
        for (std::size_t i = 0; i < n; ++i)
            some.blocks().splice(some.blocks().end(), hog.blocks(), hog.blocks().begin());
        events.push_back("release " + std::to_string(n));
        some.release();
        events.push_back("released");
        poll(io);
    }

    // A coroutine that acquires `bytes` into `list`, through yield[ec] when `slot`, recording
    // when it waits and how it ends.
    void spawn_acquirer(const std::string& name, block_chain& list, std::uint64_t bytes,
                        bool slot = false) {
        spawn_coroutine(io, [=, &list](const boost::asio::yield_context& yield) {
            events.push_back(name + " waits");
            boost::system::error_code ec;
            std::string end = " got ";
            try {
                if (slot)
                    list.acquire(bytes, yield[ec]);
                else
                    list.acquire(bytes, yield);
                if (ec)
                    end = " slot " + std::to_string(ec.value()) + " holding ";
            } catch (const boost::system::system_error& e) {
                end = " threw " + std::to_string(e.code().value()) + " holding ";
            }
            events.push_back(name + end + std::to_string(list.block_count()));
        });
        poll(io);
    }
};

// A release hands its blocks to the oldest waiter at once, and the waiter resumes through the
// loop, after the releasing step: a block freed in a destructor never runs another coroutine
// inside it, and no request made in between can take the blocks.
TEST_F(pool_waiting, ReleaseHandsBlocksToTheOldestWaiterWhichResumesThroughTheLoop) {
    spawn_acquirer("first", first, 1);
    spawn_acquirer("second", second, 1);
    const block* given = &hog.blocks().front();
    block_chain some(test_pool());
    some.blocks().splice(some.blocks().end(), hog.blocks(), hog.blocks().begin());
    some.release();
    EXPECT_EQ(events, (strings{"first waits", "second waits"})) << "resumed inside release()";
    EXPECT_EQ(blocks_of(first.blocks()), std::vector<const block*>{given}) << "not handed over";
    // A request made before the waiter runs finds nothing free: the block is the waiter's.
    block_chain late(test_pool());
    EXPECT_FALSE(late.try_acquire(1));
    poll(io);
    EXPECT_EQ(events, (strings{"first waits", "second waits", "first got 1"}));
    EXPECT_EQ(test_pool().waiters().size(), 1u);

    // Two blocks for the one remaining waiter: it takes one, the other stays free.
    events.clear();
    release_blocks(2);
    EXPECT_EQ(events, (strings{"release 2", "released", "second got 1"}));
    EXPECT_EQ(test_pool().free_blocks(), 1u);
}

// The oldest waiter keeps its place and the blocks it was given while it waits for more; those
// behind it wait until it has all it asked for.
TEST_F(pool_waiting, AWaiterKeepsItsPlaceAndTheBlocksItWasGivenWhileItWaitsForMore) {
    spawn_acquirer("big", first, 2 * block_bytes + 1); // three blocks
    spawn_acquirer("small", second, 1);
    release_blocks(1);
    EXPECT_EQ(first.block_count(), 1u);
    EXPECT_EQ(second.block_count(), 0u);
    release_blocks(3);
    EXPECT_EQ(events, (strings{"big waits", "small waits", "release 1", "released", "release 3",
                               "released", "big got 3", "small got 1"}));
}

TEST_F(pool_waiting, ReleasingAnEmptyListHandsOutBlocksThatAreFree) {
    spawn_acquirer("waiter", first, 1);
    // Blocks back on the free list without a hand-out, as a spilled message's read refused.
    test_pool().free_list().splice(test_pool().free_list().end(), hog.blocks());
    block_chain(test_pool()).release();
    poll(io);
    EXPECT_EQ(events, (strings{"waiter waits", "waiter got 1"}));
}

TEST_F(pool_waiting, CancelAllEndsEveryWaiterOldestFirstWithOperationAborted) {
    release_blocks(1);
    events.clear();
    spawn_acquirer("first", first, 2 * block_bytes); // takes the free block, waits for one more
    spawn_acquirer("second", second, 1, true); // throws too: the slot is not used
    spawn_acquirer("third", third, 1);
    test_pool().waiters().cancel_all();
    poll(io);
    EXPECT_EQ(events,
              (strings{"first waits", "second waits", "third waits", "first threw 125 holding 1",
                       "second threw 125 holding 0", "third threw 125 holding 0"}));
    // The block the first waiter took stays in its list until the list goes.
    EXPECT_EQ(test_pool().free_blocks(), 0u);
    first.release();
    EXPECT_EQ(test_pool().free_blocks(), 1u);
}

TEST_F(pool_waiting, AnAppendCutShortByACancelledWaitThrowsAndCopiesNothing) {
    release_blocks(1);
    events.clear();
    // One block and a byte: the wait for a second block is cancelled before anything is copied.
    const std::string bytes(block_bytes + 1, 'a');
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        boost::system::error_code ec;
        first.acquire(1, yield);
        try {
            // Even through an error slot: going on would copy past the end of the list.
            first.append(bytes.data(), bytes.data() + bytes.size(), yield[ec]);
            events.push_back("returned");
        } catch (const boost::system::system_error& e) {
            events.push_back("threw " + std::to_string(e.code().value()));
        }
    });
    poll(io);
    test_pool().waiters().cancel_all();
    poll(io);
    EXPECT_EQ(events, strings{"threw 125"});
    EXPECT_EQ(first.block_count(), 1u);
    EXPECT_EQ(first.size(), 0u);
}

} // namespace
