#include "groups/spill.hpp"
#include "core/coroutine.hpp"
#include "groups/spill_store.hpp"

#include "buffers/pool_fixture.hpp"
#include "core/report.hpp"
#include "wire/message_header.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace shuffler;
using namespace shuffler_test;

namespace {

class spill_test : public pool_test {
protected:
    boost::asio::io_context io;
    std::string dir;

    void SetUp() override {
        pool_test::SetUp();
        char name[] = "/tmp/spill-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        io.restart();
        io.run(); // completions still posted give their blocks back
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        pool_test::TearDown();
    }

    // A valid message of `group` whose payload is `payload_bytes` bytes of a pattern set by
    // `seed`, spanning blocks when large.
    static void make_message(block_chain& list, std::uint16_t group, std::uint64_t bytes,
                             char seed) {
        run_in_coroutine([&](auto&, auto yield) {
            open_message(list, group, yield);
            std::string payload(bytes, ' ');
            for (std::uint64_t i = 0; i < bytes; ++i)
                payload[i] = char(seed + i % 23);
            list.append(payload.data(), payload.data() + payload.size(), yield);
            close_message(list);
        });
    }

    // Runs the loop until `done` holds (the spill thread posts completions from afar), at most
    // for a bound that only a hang reaches.
    template <class Done> void run_until(Done done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < until) {
            poll(io);
            ::usleep(1000);
        }
        ASSERT_TRUE(done());
    }
};

TEST_F(spill_test, MessagesReadBackInTheirOrderWithTheirBytesAndFreeTheirPlace) {
    spill_store store(io, dir, 1 << 30);
    std::vector<std::string> sent;
    std::vector<spill_extent> places;
    int written = 0;
    for (std::uint64_t bytes : {std::uint64_t(100), 3 * block_bytes, std::uint64_t(5000)}) {
        block_chain message(test_pool());
        make_message(message, 7, bytes, char('a' + sent.size()));
        sent.push_back(contents(message));
        places.push_back(store.write(std::move(message), [&, i = places.size()](
                                                             const std::string& error,
                                                             std::uint32_t crc) {
            EXPECT_EQ(error, "");
            places[i].crc = crc;
            ++written;
        }));
    }
    run_until([&] { return written == 3; });
    EXPECT_EQ(test_pool().free_blocks(), pool_blocks) << "written blocks go back to the pool";
    EXPECT_EQ(store.used(), sent[0].size() + sent[1].size() + sent[2].size());

    std::vector<std::string> back;
    for (const spill_extent& place : places) {
        block_chain into(test_pool());
        ASSERT_TRUE(into.try_acquire(place.size));
        store.read(place, std::move(into), [&](const std::string& error, block_chain& list) {
            EXPECT_EQ(error, "");
            back.push_back(contents(list));
        });
    }
    run_until([&] { return back.size() == 3; });
    EXPECT_EQ(back, sent);
    EXPECT_EQ(store.used(), 0u);
    EXPECT_EQ(store.bytes_written(), store.bytes_read());
}

TEST_F(spill_test, AChecksumMismatchIsAnErrorNamingTheFile) {
    spill_store store(io, dir, 1 << 30);
    block_chain message(test_pool());
    make_message(message, 1, 1000, 'x');
    spill_extent place =
        store.write(std::move(message), [&](const std::string&, std::uint32_t crc) {
            place.crc = crc + 1; // what a damaged file would read as
        });
    run_until([&] { return place.crc != 0; });
    block_chain into(test_pool());
    ASSERT_TRUE(into.try_acquire(place.size));
    std::string error;
    store.read(place, std::move(into), [&](const std::string& e, block_chain&) { error = e; });
    run_until([&] { return !error.empty(); });
    EXPECT_EQ(error, "checksum mismatch in the message spilled at byte 0");
    EXPECT_EQ(store.label(), "spill file in " + dir);
}

TEST_F(spill_test, ADirectoryWithoutRoomForAFileIsRefusedByName) {
    try {
        spill_store store(io, dir + "/missing", 1 << 30);
        FAIL() << "opened a spill file in a missing directory";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  dir + "/missing: cannot create a spill file: No such file or directory");
    }
    // Nothing is left behind in a directory that had a spill file.
    { spill_store store(io, dir, 1 << 30); }
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

// The spiller over a group table: what goes, what stays, and what comes back.
class spiller_test : public spill_test {
protected:
    group_table groups{test_pool()};
    std::vector<std::string> pushed;

    void SetUp() override {
        spill_test::SetUp();
        groups.resize(3);
    }
    void TearDown() override {
        groups.end_waits();
        groups.clear();
        spill_test::TearDown();
    }
    void push(std::uint16_t group, std::uint64_t bytes) {
        block_chain message(test_pool());
        make_message(message, group, bytes, char('A' + pushed.size()));
        pushed.push_back(contents(message));
        push_message(groups[group], message);
    }
};

TEST_F(spiller_test, TheLargestBacklogGoesUpToTheCapAndComesBackInOrderAsConsumersAsk) {
    push(1, 1000);                  // a small backlog that stays
    for (int i = 0; i < 4; ++i)     // group 2: four messages of nearly a block each
        push(2, block_bytes - 100);
    const std::uint64_t message_size = pushed[1].size();
    spill_store store(io, dir, 3 * message_size); // room for three of them
    {
        spiller spill(groups, store, io);
        spill.relieve(true); // as if a consumer of another group starved
        EXPECT_EQ(groups[2].spilled.size(), 3u);
        EXPECT_EQ(groups[2].in_memory(), 1u) << "the fourth waits at the cap";
        EXPECT_EQ(groups[2].message_count(), 4u);
        EXPECT_EQ(groups[1].in_memory(), 1u);
        run_until([&] { return store.bytes_written() == 3 * message_size; });
        EXPECT_EQ(test_pool().free_blocks(), pool_blocks - 1 - 1) << "two messages stay";

        // One consumer takes all four, in the order they were pushed.
        std::vector<std::string> got;
        spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
            for (int i = 0; i < 4; ++i) {
                block_chain out(test_pool());
                if (!pop_message(groups[2], out, yield))
                    return;
                got.push_back(contents(out));
            }
        });
        run_until([&] { return got.size() == 4; });
        EXPECT_EQ(got, std::vector<std::string>(pushed.begin() + 1, pushed.end()));
        EXPECT_EQ(store.used(), 0u);
        EXPECT_TRUE(groups[2].spilled.empty());
    }
}

// One group shared by every worker gains nothing from the disk: spilling starts only when a
// consumer waits on a group with nothing for it.
TEST_F(spiller_test, NothingIsSpilledUntilAConsumerOfAnotherGroupStarves) {
    for (int i = 0; i < 3; ++i)
        push(1, 1000);
    spill_store store(io, dir, 1 << 30);
    spiller spill(groups, store, io);
    spill.relieve();
    EXPECT_TRUE(groups[1].spilled.empty());
    std::string got;
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        block_chain out(test_pool());
        if (pop_message(groups[2], out, yield))
            got = contents(out);
    });
    poll(io);
    spill.relieve();
    EXPECT_EQ(groups[1].spilled.size(), 3u);
    push(2, 10);
    poll(io);
    EXPECT_EQ(got, pushed.back());
    run_until([&] { return store.bytes_written() == 3 * pushed[0].size(); });
}

// Fast consumers free blocks as quickly as the disk would: a producer that waits only between
// blocks coming back spills nothing, and one that waits a whole patience with none spills.
TEST_F(spiller_test, SpillingStartsOnlyOnceNoBlockHasComeBackForAWholePatience) {
    for (int i = 0; i < 3; ++i)
        push(1, 1000);
    spill_store store(io, dir, 1 << 30);
    // Long enough that no stall of a loaded machine inside one poll of the loop outlasts it.
    const std::chrono::milliseconds patience(500);
    spiller spill(groups, store, io, patience);
    std::deque<block_chain> held; // every free block, one list each
    for (held.emplace_back(test_pool()); held.back().try_acquire(block_bytes);)
        held.emplace_back(test_pool());
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        block_chain out(test_pool()); // a consumer of group 2 starves
        try {
            pop_message(groups[2], out, yield);
        } catch (const boost::system::system_error& e) {
            EXPECT_TRUE(is_cancellation(e.code())); // at the end of the test
        }
    });
    block_chain first(test_pool()), second(test_pool());
    bool produced = false;
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        first.acquire(block_bytes, yield); // the producer waits for blocks
        second.acquire(block_bytes, yield);
        produced = true;
    });
    // Before the producer starts waiting: the patience runs from then on, however late this
    // test gets to look.
    const auto waited_from = std::chrono::steady_clock::now();
    poll(io);
    EXPECT_TRUE(groups[1].spilled.empty()) << "spilled before any patience";

    held.front().release(); // a block comes back: the producer takes it and waits again
    poll(io);
    EXPECT_EQ(first.block_count(), 1u);
    run_until([&] { return !groups[1].spilled.empty(); });
    EXPECT_GE(std::chrono::steady_clock::now() - waited_from, 2 * patience)
        << "spilled within a patience of a block coming back";
    EXPECT_EQ(groups[1].spilled.size(), 3u);
    // Written out, the backlog's blocks go to the producer.
    run_until([&] { return produced && store.bytes_written() == 3 * pushed[0].size(); });
    first.release();
    second.release();
}

// Reading a spilled message back must never need more than the one block that comes back next.
TEST_F(spiller_test, AMessageOfSeveralBlocksStaysAndSoDoThoseAfterIt) {
    push(1, 1000);
    push(1, block_bytes);
    push(1, 1000);
    spill_store store(io, dir, 1 << 30);
    spiller spill(groups, store, io);
    spill.relieve(true);
    EXPECT_EQ(groups[1].spilled.size(), 1u);
    EXPECT_EQ(groups[1].in_memory(), 2u);
    run_until([&] { return store.bytes_written() == pushed[0].size(); });
}

// A worker fails holding messages while later ones of its group are spilled: what it held is
// sent again first, then the spilled ones, in the order they were queued. (A header in the first
// message of a SAM shard must stay first.)
TEST_F(spiller_test, AFailedWorkersMessagesComeBackBeforeTheSpilledOnes) {
    for (int i = 0; i < 4; ++i)
        push(1, block_bytes / 2);
    spill_store store(io, dir, 1 << 30);
    spiller spill(groups, store, io);
    sent_list held;
    run_in_coroutine([&](auto&, auto yield) {
        for (int i = 0; i < 2; ++i) {
            block_chain out(test_pool());
            ASSERT_TRUE(pop_message(groups[1], out, yield));
            held.emplace_back(std::move(out));
            ++groups[1].in_flight;
        }
    });
    spill.relieve(true); // as if a consumer of another group starved
    EXPECT_EQ(groups[1].spilled.size(), 2u) << "the queued messages go, the held ones stay";
    run_until([&] { return store.used() > 0 && groups[1].spilled.front()->on_disk; });

    resend_messages(groups[1], held);
    close_group(groups[1]);
    std::vector<std::string> got;
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        for (block_chain out(test_pool()); pop_message(groups[1], out, yield); out.release())
            got.push_back(contents(out));
    });
    run_until([&] { return got.size() == 4; });
    EXPECT_EQ(got, std::vector<std::string>(pushed.begin(), pushed.begin() + 4));
}

} // namespace
