#pragma once

#include "buffers/buffer_pool.hpp"
#include "buffers/block_chain.hpp"
#include "buffers/wait_queue.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/intrusive/list.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace shuffler {

class spiller;

// A queued message that waits in the spill file instead of the pool.
struct spilled_message {
    std::uint64_t offset = 0;  // where it lies in the spill file
    std::uint64_t size = 0;    // its bytes, header included
    std::uint64_t records = 0; // records it holds, for reports
    std::uint32_t crc = 0;     // checksum of its bytes, known once written
    bool on_disk = false;      // the write is done: it can be read back
    bool reading = false;      // being read back into the pool
};

// A message sent to a worker and not yet acknowledged, kept in the pool for sending again should
// the worker fail. It is never spilled: sent again, it must come before everything queued, and
// a worker holds at most two.
struct sent_message {
    explicit sent_message(block_chain message)
        : list(std::move(message)), records(list.blocks().front().records), size(list.size()) {}

    block_chain list;   // its blocks
    std::uint64_t records; // records it holds, for reports
    std::uint64_t size;    // its bytes, header included
};
using sent_list = std::deque<sent_message>;

// Where a producer waits for the queues to shorten (group_table::wait_for_room), and when a
// consumer last took a message. It also keeps the two sums the producer looks at on every
// message, so that it never walks the groups.
struct producer_room {
    wait_queue producer;
    std::uint64_t queued_blocks = 0;     // blocks of the messages queued in memory, every group
    std::uint64_t waiting_consumers = 0; // coroutines waiting in pop_message, every group
    std::chrono::steady_clock::time_point last_taken;    // the epoch until the first
    std::chrono::steady_clock::time_point stalled_since; // the producer began to wait for one
    bool running_ahead = false; // patience ran out; until the queues are short again
};

// Whether a group has a worker: open until one asks for it; unattended when the run's deadline
// found none, after which a message pushed to it fails the run.
enum class group_claim : std::uint8_t { open, claimed, unattended };

// One group's FIFO of whole messages and the coroutines waiting to pop one. On the input side a
// group is finished once its producer has closed it, its queue is empty and every message sent
// has been acknowledged; until then a message sent to a worker that fails comes back to the front.
struct group_state {
    using message_list = boost::intrusive::list<
        block, boost::intrusive::member_hook<block, queue_hook, &block::qhook_>,
        boost::intrusive::constant_time_size<true>, boost::intrusive::size_type<std::uint64_t>>;

    wait_queue waiters;      // coroutines suspended in pop_message, oldest first
    producer_room* room = nullptr; // the table's: told of every message taken
    message_list messages;   // first block of every queued message, then end_marker
    block_chain blocks;   // all blocks of all queued messages, then end_marker
    block end_marker;        // sentinel with no memory; always last in both lists
    group_claim claim = group_claim::open; // whether a worker has asked for the group
    bool closed = false;     // the producer has ended: only re-sent messages are pushed now
    std::uint64_t in_flight = 0; // messages sent to workers and not yet acknowledged
    // Spilling keeps the order: the first `head` messages in memory come first, then the
    // spilled ones, oldest first, then the rest in memory. `head` counts only while some are
    // spilled.
    std::deque<std::shared_ptr<spilled_message>> spilled;
    std::uint64_t head = 0;
    std::uint64_t reading = 0; // spilled messages being read back
    spiller* spill = nullptr;  // reads spilled messages back; null when spilling is off
    std::size_t number = 0;    // the group's number

    explicit group_state(buffer_pool& pool);
    group_state(const group_state&) = delete;
    group_state& operator=(const group_state&) = delete;
    // Returns the queued blocks to the pool. Nobody may still wait (group_table::end_waits).
    ~group_state();

    // Queued messages, in memory or spilled.
    std::uint64_t message_count() const { return in_memory() + spilled.size(); }
    std::uint64_t in_memory() const { return messages.size() - 1; }
    // Messages that can be popped now: in memory and before any spilled one.
    std::uint64_t ready_count() const { return spilled.empty() ? in_memory() : head; }
    // Wakes as many waiting consumers as the group has messages they can take.
    void wake_ready() {
        for (std::uint64_t n = ready_count(); n > 0 && !waiters.empty(); --n)
            waiters.wake_one(boost::system::error_code());
    }
    // Nothing is left to send and nothing sent can come back.
    bool finished() const { return closed && message_count() == 0 && in_flight == 0; }
    // Call after `blocks` changed from `before` blocks: keeps the room's sum right.
    void count_blocks(std::uint64_t before) {
        if (room)
            room->queued_blocks += blocks.block_count() - before;
    }
};

// Appends the message held in `list` (left empty) and hands it to a waiting consumer at once.
// A message without payload carries nothing and is dropped: an empty message on a connection
// means the end of data. Throws "Unattended group N" (after queueing) when the group was marked
// unattended.
void push_message(group_state& record, block_chain& list);

// Waits until `record` holds a message, then moves its blocks to the end of `out` and returns
// true; returns false once the group is finished. `tag` names the caller for wait_queue::wake.
bool pop_message(group_state& record, block_chain& out, const boost::asio::yield_context& yield,
                 const void* tag = nullptr);

// Puts messages sent to a worker that failed back at the front of the queue, in their order,
// and hands them to waiting consumers. Their in-flight count goes with them. Spilled ones go to
// the front of the spilled messages, to be read back first.
void resend_messages(group_state& record, sent_list& lists);

// A worker has written a message sent to it (the caller then drops it); wakes the consumers once
// the group is finished.
void acknowledge_message(group_state& record);

// The producer has ended; wakes the consumers if that finishes the group.
void close_group(group_state& record);

// Blocks of queued messages a producer keeps ahead of consumers that all have work (see
// group_table::wait_for_room).
constexpr std::uint64_t producer_lead_blocks = 8;
constexpr std::chrono::milliseconds producer_patience{50};

// A SAM input's header lines. Every worker of a shard writes them first, whatever else it gets:
// the input side sends them to each session before its group's messages, never inside one, so a
// message sent again to another worker never carries them.
struct session_preamble {
    bool expected = false;      // the input has one: sessions wait until it is known
    bool known = false;         // read to its end (the first alignment, or the input's end)
    std::string text;           // the header lines
    std::uint64_t lines = 0;    // for reports
    std::uint32_t groups = 0;   // groups 0 to groups - 1 get it
    wait_queue waiters;         // sessions waiting for it
};

// The process's groups, indexed by group number, all drawing on one pool. A record is made when
// its group is first used, so a large --max_groups costs a pointer per group until then, and
// the table's walks go over the groups used only. Records never move once created.
class group_table {
public:
    explicit group_table(buffer_pool& pool) : pool_(&pool) {}
    group_table(const group_table&) = delete;
    group_table& operator=(const group_table&) = delete;

    // Grows or shrinks to n records; new records are unclaimed.
    void resize(std::size_t n);
    // Wakes, with operation-aborted, every coroutine waiting on a group or on the pool; false when
    // none was waiting. Teardown runs the loop until they have unwound, and repeats (one that
    // unwinds may free blocks a pool waiter then takes), while all they might touch still exists.
    bool end_waits();
    // Destroys every record in index order. Nobody may still wait on them.
    void clear();

    // Waits while the queues' messages in memory fill `most` blocks or more: a producer further
    // ahead of consumers that keep taking messages only fills memory, each fresh page of it
    // cleared by the kernel. A message taken lets it go on. So does a consumer that waits with
    // nothing to take, unless the others take a message within `patience` of the producer's
    // waiting: running ahead helps the waiting one only past a backlog that is not draining.
    // The queues may then fill the pool (and spill), so that a slow group does not hold back
    // the others, until the queues are short again. (Only time spent waiting counts: while the
    // producer runs, the loop cannot hand anything to consumers.)
    void wait_for_room(std::uint64_t most, std::chrono::milliseconds patience,
                       const boost::asio::yield_context& yield);

    // Closes every group, those not used yet too (see close_group).
    void close_all();
    // Marks every unclaimed group unattended, those not used yet too; returns the groups used
    // that were marked.
    std::vector<std::size_t> mark_unattended();
    // Every group is finished (see group_state::finished).
    bool all_finished() const;
    // Sets the spiller of every group, those not used yet too.
    void set_spiller(spiller* spill);

    session_preamble& preamble() { return preamble_; }
    std::size_t size() const { return records_.size(); }
    // The record of group i, made on first use.
    group_state& operator[](std::size_t i) { return records_[i] ? *records_[i] : make(i); }
    // The groups used so far, in the order they were first used.
    const std::vector<group_state*>& used() const { return used_; }
    buffer_pool& pool() const { return *pool_; }

private:
    group_state& make(std::size_t i);

    buffer_pool* pool_;
    std::vector<std::unique_ptr<group_state>> records_; // null until used
    std::vector<group_state*> used_;
    producer_room room_;
    // What every group made from now on starts with.
    bool closed_ = false;
    bool unattended_ = false;
    spiller* spill_ = nullptr;
    session_preamble preamble_;
};

// Run when the run timer expires on the input side: marks every unclaimed group unattended and
// reports those that hold messages nobody will take.
void unattended_check(group_table& groups, boost::asio::io_context& io,
                      const boost::system::error_code& ec);

// Run when the input side's loop has ended: reports every group still holding messages that no
// worker took or acknowledged (unless a failure was reported already). True when all are done.
bool delivery_check(group_table& groups, boost::asio::io_context& io);

} // namespace shuffler
