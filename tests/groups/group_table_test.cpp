#include "groups/group_table.hpp"
#include "core/coroutine.hpp"

#include "buffers/pool_fixture.hpp"
#include "core/report.hpp"
#include "support/process.hpp"
#include "wire/message_header.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <deque>
#include <malloc.h>
#include <stdexcept>

using namespace shuffler;
using namespace shuffler_test;

namespace {

using strings = std::vector<std::string>;

class group_test : public pool_test {
protected:
    boost::asio::io_context io;
    group_table groups{test_pool()};
    strings events;

    void SetUp() override {
        pool_test::SetUp();
    }
    void TearDown() override {
        end_waits();
        groups.clear();
        pool_test::TearDown();
    }

    // Ends every wait on the groups and the pool, as teardown does: the woken resume through the
    // loop, and one that unwinds may free blocks a pool waiter then takes.
    void end_waits() {
        while (groups.end_waits())
            poll(io);
    }

    // A message of `blocks` pool blocks, each partly filled.
    static void make_message(block_chain& list, std::uint64_t blocks) {
        run_in_coroutine([&](auto&, auto yield) {
            list.acquire(blocks * block_bytes, yield);
            list.commit(block_bytes * (blocks - 1) + 100);
        });
    }

    // A consumer that pops one message into `out`, recording when it starts and how it ends.
    void spawn_consumer(const std::string& name, group_state& record, block_chain& out,
                        const void* tag = nullptr) {
        spawn_coroutine(
            io, [this, name, &record, &out, tag](const boost::asio::yield_context& yield) {
                events.push_back(name + " pops");
                try {
                    if (pop_message(record, out, yield, tag))
                        events.push_back(name + " got " + std::to_string(out.block_count()));
                    else
                        events.push_back(name + " finished");
                } catch (const boost::system::system_error& e) {
                    events.push_back(name + " ended " + std::to_string(e.code().value()));
                }
            });
        poll(io);
    }
};

TEST_F(group_test, MessagesComeOutInPushOrderEachWithExactlyItsOwnBlocks) {
    group_state record{test_pool()};
    EXPECT_EQ(record.claim, group_claim::open);
    std::vector<const block*> pushed; // every block, in push order
    for (std::uint64_t blocks : {1, 3, 2}) {
        block_chain message(test_pool());
        make_message(message, blocks);
        for (const block* b : blocks_of(message.blocks()))
            pushed.push_back(b);
        push_message(record, message);
        EXPECT_EQ(message.block_count(), 0u);
    }
    EXPECT_EQ(record.message_count(), 3u);
    run_in_coroutine([&](auto&, auto yield) {
        block_chain first(test_pool()), rest(test_pool());
        pop_message(record, first, yield);
        // Popping appends to what the output list already holds.
        pop_message(record, rest, yield);
        pop_message(record, rest, yield);
        EXPECT_EQ(first.size(), 100u);
        EXPECT_EQ(rest.size(), 2 * block_bytes + 100 + block_bytes + 100);
        first.blocks().splice(first.blocks().end(), rest.blocks());
        EXPECT_EQ(blocks_of(first.blocks()), pushed);
    });
    EXPECT_EQ(record.message_count(), 0u);
    EXPECT_EQ(record.blocks.block_count(), 1u) << "only the end marker remains";
}

// A push wakes the oldest waiting consumer, which takes the message once the pushing step is over
// (never inside the push, which may run in a destructor).
TEST_F(group_test, APushWakesTheOldestWaitingConsumerWhichTakesItThroughTheLoop) {
    block_chain first_out(test_pool()), second_out(test_pool());
    // Destroyed first: a consumer still waiting ends before its list goes.
    group_state record{test_pool()};
    spawn_consumer("first", record, first_out);
    spawn_consumer("second", record, second_out);
    block_chain message(test_pool());
    make_message(message, 2);
    const auto blocks = blocks_of(message.blocks());
    events.push_back("push");
    push_message(record, message);
    events.push_back("pushed");
    poll(io);
    EXPECT_EQ(events, (strings{"first pops", "second pops", "push", "pushed", "first got 2"}));
    EXPECT_EQ(blocks_of(first_out.blocks()), blocks);
    EXPECT_EQ(record.message_count(), 0u);

    make_message(message, 1);
    push_message(record, message);
    poll(io);
    EXPECT_EQ(events.back(), "second got 1");
}

TEST_F(group_test, TeardownEndsWaitingConsumersFirstThenReturnsQueuedBlocks) {
    groups.resize(2);
    block_chain out(test_pool());
    spawn_consumer("consumer", groups[0], out);
    for (std::uint64_t blocks : {2, 3}) {
        block_chain message(test_pool());
        make_message(message, blocks);
        push_message(groups[1], message);
    }
    EXPECT_EQ(test_pool().free_blocks(), pool_blocks - 5);
    end_waits();
    EXPECT_EQ(events, (strings{"consumer pops", "consumer ended 125"}));
    EXPECT_EQ(groups[1].message_count(), 2u) << "ending waits drops nothing";
    groups.clear();
    EXPECT_EQ(out.block_count(), 0u);
    EXPECT_EQ(test_pool().free_blocks(), pool_blocks);
}

// A producer waits while the queues hold that many blocks and every consumer has work; a pop,
// or a consumer of any group that starts to wait, lets it go on; teardown ends its wait.
TEST_F(group_test, AProducerWaitsForRoomUntilAMessageIsTakenOrAConsumerStarves) {
    groups.resize(2);
    const auto queue = [&](std::size_t group, std::uint64_t blocks) {
        block_chain message(test_pool());
        make_message(message, blocks);
        push_message(groups[group], message);
    };
    const auto producer = [&](const std::string& name) {
        spawn_coroutine(io, [this, name](const boost::asio::yield_context& yield) {
            try {
                groups.wait_for_room(3, std::chrono::milliseconds(0), yield);
                events.push_back(name + " goes on");
            } catch (const boost::system::system_error& e) {
                events.push_back(name + " ended " + std::to_string(e.code().value()));
            }
        });
        poll(io);
    };
    queue(0, 2);
    producer("under three blocks");
    queue(1, 1);
    producer("at three blocks");
    EXPECT_EQ(events, (strings{"under three blocks goes on"}));
    block_chain out(test_pool()), starved(test_pool());
    spawn_consumer("consumer", groups[0], out);
    poll(io);
    EXPECT_EQ(events, (strings{"under three blocks goes on", "consumer pops", "consumer got 2",
                               "at three blocks goes on"}))
        << "the producer goes on once the message taken is the consumer's";
    events.clear();

    queue(1, 2);
    producer("behind a full group 1");
    EXPECT_TRUE(events.empty());
    spawn_consumer("group 0's", groups[0], starved);
    poll(io);
    EXPECT_EQ(events, (strings{"group 0's pops", "behind a full group 1 goes on"}))
        << "a starving consumer lets the producer fill the pool";
    events.clear();

    end_waits(); // the starving consumer goes
    events.clear();
    queue(1, 1);
    producer("again");
    end_waits();
    EXPECT_EQ(events, (strings{"again ended 125"}));
    out.release();
}

// A table of 65536 groups costs a pointer per group until a group is used, and whatever the
// table's size the producer's sums count only what is queued: groups not used yet are finished
// once the table is closed, and a group first used after that starts closed.
TEST_F(group_test, ALargeTableCostsLittleUntilItsGroupsAreUsed) {
    const std::size_t before = ::mallinfo2().uordblks;
    groups.resize(65536);
    const std::size_t grown = ::mallinfo2().uordblks - before;
    EXPECT_LT(grown, std::size_t(1) << 20) << "bytes allocated for 65536 unused groups";
    EXPECT_TRUE(groups.used().empty());

    block_chain message(test_pool());
    make_message(message, 3);
    push_message(groups[60000], message);
    EXPECT_EQ(groups.used().size(), 1u);
    bool went_on = false;
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        groups.wait_for_room(3, std::chrono::milliseconds(0), yield);
        went_on = true;
    });
    poll(io);
    EXPECT_FALSE(went_on) << "three blocks queued in group 60000";
    block_chain out(test_pool());
    spawn_consumer("consumer", groups[60000], out);
    poll(io);
    EXPECT_TRUE(went_on);
    out.release();

    EXPECT_FALSE(groups.all_finished());
    groups.close_all();
    EXPECT_TRUE(groups.all_finished());
    EXPECT_TRUE(groups[7].finished()) << "a group first used after the close starts closed";
    EXPECT_EQ(groups.used().size(), 2u);
}

// Others still taking messages, a consumer that waits lets the producer go on only once none
// has been taken for the patience: a backlog drained that fast is not worth running ahead of.
TEST_F(group_test, AStarvingConsumerLetsTheProducerGoOnOnlyAfterThePatience) {
    groups.resize(2);
    for (int i = 0; i < 3; ++i) {
        block_chain message(test_pool());
        make_message(message, 1);
        push_message(groups[1], message);
    }
    block_chain taken(test_pool()), starved(test_pool());
    spawn_consumer("group 1's", groups[1], taken); // two blocks are left
    spawn_consumer("group 0's", groups[0], starved);
    const auto patience = std::chrono::milliseconds(150);
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        groups.wait_for_room(2, patience, yield);
        waited = std::chrono::steady_clock::now() - start;
        events.push_back("producer goes on");
    });
    io.restart();
    io.run_for(std::chrono::seconds(10));
    EXPECT_EQ(events.back(), "producer goes on");
    EXPECT_GE(waited, patience - std::chrono::milliseconds(1)) << "not before the patience";
    end_waits();
    taken.release();
}

TEST_F(group_test, ResentMessagesGoBackToTheFrontInTheirOrderAndTheGroupFinishesWhenAllAreDone) {
    group_state record{test_pool()};
    sent_list sent;
    std::vector<std::vector<const block*>> identity; // each message's blocks, in push order
    for (std::uint64_t blocks : {1, 2, 3}) {
        block_chain message(test_pool());
        make_message(message, blocks);
        identity.push_back(blocks_of(message.blocks()));
        push_message(record, message);
    }
    // A session takes the first two; its worker fails before acknowledging them.
    run_in_coroutine([&](auto&, auto yield) {
        for (int i = 0; i < 2; ++i) {
            block_chain out(test_pool());
            ASSERT_TRUE(pop_message(record, out, yield));
            sent.emplace_back(std::move(out));
            ++record.in_flight;
        }
    });
    close_group(record);
    EXPECT_FALSE(record.finished());
    resend_messages(record, sent);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(record.in_flight, 0u);
    EXPECT_EQ(record.message_count(), 3u);
    // Another session takes all three, in their first order, and holds the last unacknowledged.
    run_in_coroutine([&](auto&, auto yield) {
        for (std::size_t i = 0; i < identity.size(); ++i) {
            block_chain out(test_pool());
            ASSERT_TRUE(pop_message(record, out, yield));
            ++record.in_flight;
            EXPECT_EQ(blocks_of(out.blocks()), identity[i]);
            sent.emplace_back(std::move(out));
            if (i + 1 < identity.size()) {
                acknowledge_message(record);
                sent.pop_front();
            }
        }
    });
    // Closed and empty, but one message is out: a consumer waits, since it may come back.
    block_chain out(test_pool());
    spawn_consumer("idle", record, out);
    EXPECT_EQ(events, (strings{"idle pops"}));
    acknowledge_message(record);
    sent.pop_front();
    poll(io);
    EXPECT_EQ(events, (strings{"idle pops", "idle finished"}));
    EXPECT_TRUE(record.finished());
}

TEST_F(group_test, AWaiterIsWokenByItsTagAloneAndEmptyMessagesAreDropped) {
    group_state record{test_pool()};
    block_chain a(test_pool()), b(test_pool());
    int tag_a = 0, tag_b = 0;
    spawn_consumer("a", record, a, &tag_a);
    spawn_consumer("b", record, b, &tag_b);
    EXPECT_TRUE(record.waiters.wake(&tag_b, boost::asio::error::operation_aborted));
    EXPECT_FALSE(record.waiters.wake(&tag_b, boost::asio::error::operation_aborted));
    // A message that is only a header carries nothing: it would read as the end of data.
    block_chain empty(test_pool());
    run_in_coroutine([&](auto&, auto yield) { open_message(empty, 0, yield); });
    push_message(record, empty);
    EXPECT_EQ(record.message_count(), 0u);
    EXPECT_EQ(empty.block_count(), 0u);
    block_chain message(test_pool());
    make_message(message, 1);
    push_message(record, message);
    poll(io);
    EXPECT_EQ(events, (strings{"a pops", "b pops", "b ended 125", "a got 1"}));
}

TEST_F(group_test, ACancelledPopEndsEvenThroughAnErrorSlot) {
    groups.resize(1);
    block_chain out(test_pool());
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        boost::system::error_code ec;
        try {
            // Waiting again after a cancellation would keep cancel_all going for ever.
            pop_message(groups[0], out, yield[ec]);
            events.push_back("returned");
        } catch (const boost::system::system_error& e) {
            events.push_back("ended " + std::to_string(e.code().value()));
        }
    });
    poll(io);
    end_waits();
    EXPECT_EQ(events, strings{"ended 125"});
    EXPECT_TRUE(groups[0].waiters.empty());
}

TEST_F(group_test, EndingWaitsRepeatsUntilNoCoroutineWaitsOnTheGroupsOrThePool) {
    groups.resize(2);
    block_chain held(test_pool()), out(test_pool()), wanted(test_pool());
    run_in_coroutine([&](auto&, auto yield) { held.acquire(pool_blocks * block_bytes, yield); });
    // Ended, the consumer of group 1 waits for the pool; a table that stopped after one pass
    // would be destroyed under it.
    spawn_coroutine(io, [&](const boost::asio::yield_context& yield) {
        try {
            pop_message(groups[1], out, yield);
        } catch (const boost::system::system_error&) {
            events.push_back("pop ended");
        }
        try {
            wanted.acquire(1, yield);
        } catch (const boost::system::system_error&) {
            events.push_back("acquire ended");
        }
    });
    poll(io);
    end_waits();
    EXPECT_EQ(events, (strings{"pop ended", "acquire ended"}));
    EXPECT_TRUE(test_pool().waiters().empty());
    held.release();
}

// The check run when the input side's run timer expires, over a table of six groups.
class unattended_test : public group_test {
protected:
    boost::asio::io_context loop; // where the check reports
    void SetUp() override {
        group_test::SetUp();
        groups.resize(6);
    }
    void queue_message(std::size_t group) {
        block_chain message(test_pool());
        make_message(message, 1);
        push_message(groups[group], message);
    }
    // Runs the check with `ec`; returns what it wrote. `claims` gets the claims it left.
    std::string check(const boost::system::error_code& ec) {
        claims.clear();
        testing::internal::CaptureStderr();
        unattended_check(groups, loop, ec);
        for (std::size_t i = 0; i < groups.size(); ++i)
            claims.push_back(groups[i].claim);
        return without_sanitizer_notes(testing::internal::GetCapturedStderr());
    }
    std::vector<group_claim> claims;
};

TEST_F(unattended_test, ReportsUnclaimedGroupsHoldingMessagesAndMarksAllUnclaimed) {
    groups[0].claim = group_claim::claimed;
    groups[1].claim = group_claim::claimed;
    queue_message(1); // claimed: its peer will take it
    queue_message(3);
    queue_message(5);
    // A timer cancelled at the end of the run checks nothing; error values are compared by
    // value, whatever their category.
    EXPECT_EQ(check(boost::asio::error::operation_aborted), "");
    EXPECT_EQ(check(boost::asio::error::operation_aborted), "");
    constexpr group_claim claimed = group_claim::claimed, open = group_claim::open,
                          unattended = group_claim::unattended;
    EXPECT_EQ(claims, (std::vector<group_claim>{claimed, claimed, open, open, open, open}));
    EXPECT_FALSE(report_to(loop).failed());

    EXPECT_EQ(check({}), "Unattended group 3\nUnattended group 5\n");
    EXPECT_TRUE(report_to(loop).failed());
    EXPECT_FALSE(loop.stopped()) << "the program, not the library, ends the run";
    EXPECT_EQ(claims, (std::vector<group_claim>{claimed, claimed, unattended, unattended,
                                                 unattended, unattended}));
    EXPECT_EQ(groups[3].message_count(), 1u) << "the check drops nothing";
}

TEST_F(unattended_test, AnEmptyUnclaimedGroupIsMarkedSilentlyAndRefusesLaterMessages) {
    EXPECT_EQ(check({}), "");
    EXPECT_FALSE(report_to(loop).failed());
    EXPECT_EQ(claims[4], group_claim::unattended);

    block_chain message(test_pool());
    make_message(message, 2);
    try {
        push_message(groups[4], message);
        ADD_FAILURE() << "push to an unattended group succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unattended group 4");
    }
    // The refused message stays queued, whole.
    EXPECT_EQ(message.block_count(), 0u);
    EXPECT_EQ(groups[4].blocks.block_count(), 3u) << "two blocks and the end marker";

    // A peer that asks late lifts the mark.
    groups[4].claim = group_claim::claimed;
    EXPECT_NO_THROW(queue_message(4));
    EXPECT_EQ(groups[4].message_count(), 2u);
}

} // namespace
