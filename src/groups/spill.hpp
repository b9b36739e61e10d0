#pragma once

#include "groups/group_table.hpp"
#include "groups/spill_store.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace shuffler {

// Decides what goes to the spill file and when it comes back. When the producer has waited for
// blocks for a while with none coming back, the group with the largest backlog gives its queued
// messages (all but those its
// consumers wait for now) to the file; as its consumers ask for messages, the oldest spilled
// ones are read back, in order. Messages a worker holds unacknowledged stay in the pool: sent
// again after a failure they must come before everything queued. Nothing is read ahead: a
// worker still has the other message of its window to write while the next is read, and blocks
// held for reading ahead would be taken from the producer, which then stalls every group.
// Reading back goes before the producer when blocks come free, so a slow group never holds back
// the others and its own consumers never starve.
//
// Only messages of one block are spilled (SAM shards, FASTQ blocks and stored messages up to
// 4 MiB are): reading one back then needs a single block, which the next block to come back
// always is, even while the producer holds all the others for a large message of its own. A
// larger message stays in the pool, and those queued after it with it.
class spiller {
public:
    // How long the producer waits for blocks, with none coming back, before spilling starts:
    // consumers that free a block (4 MiB) in less time are faster than the disk work would be.
    static constexpr std::chrono::milliseconds default_patience{50};

    // Hooks itself into the pool and every group of `groups` (resize them first).
    spiller(group_table& groups, spill_store& store, boost::asio::io_context& io,
            std::chrono::milliseconds patience = default_patience);
    spiller(const spiller&) = delete;
    spiller& operator=(const spiller&) = delete;
    // Unhooks; completions still posted must not run after this (the loop has stopped).
    ~spiller();

    // The pool ran short: starts writing out the largest backlog, unless writes are under way
    // already (their completions free blocks), the file is at its cap, or no consumer starves.
    // A consumer starves when it waits on a group with nothing ready; without one, as with a
    // single group shared by every worker, spilling would only add disk work to the wait.
    // `starving` says the caller knows of one that is about to wait.
    void relieve(bool starving = false);

    // The producer waits for blocks (`starving`: and a consumer is about to wait with nothing).
    // While something is spilled, relieves at once; otherwise only once the producer has waited
    // `patience` with no block coming back, so that a backlog that fast consumers are draining
    // never goes through the disk.
    void shortage(bool starving = false);

    // Reads `record`'s oldest spilled messages back until its waiting consumers, and `extra`
    // more about to wait, have a message each. Without free blocks, such a group gets the next
    // blocks that come back, before the producer.
    void refill(group_state& record, std::size_t extra);

private:
    void spill_group(group_state& record, std::uint64_t start);
    // Writes `list` out as `message`; false when the file is at its cap (`list` keeps it).
    bool write_out(group_state& record, const std::shared_ptr<spilled_message>& message,
                   block_chain& list);
    void read_back(group_state& record, const std::shared_ptr<spilled_message>& message,
                   block_chain& list);
    void blocks_returned();
    // Waits `patience_` and relieves if the producer still waits and no block came back.
    void wait_patiently();
    void fail(const std::string& error);
    // Some consumer waits on a group with nothing ready for it.
    bool anyone_starves() const;
    // Index of the first message of `record` that may be spilled.
    std::uint64_t spill_start(const group_state& record) const;

    group_table& groups_;
    spill_store& store_;
    boost::asio::io_context& io_;
    std::uint64_t writing_ = 0;          // writes submitted and not yet done
    std::vector<group_state*> urgent_;  // groups whose consumers wait for blocks to read into
    bool serving_ = false;               // blocks_returned is running
    std::uint64_t spilled_ = 0;          // messages in the file, not yet read back
    std::chrono::milliseconds patience_;
    boost::asio::steady_timer patience_timer_;
    bool waiting_ = false;              // patience_timer_ is set
    std::uint64_t returns_ = 0;         // times blocks came back to the pool
    std::uint64_t returns_at_wait_ = 0; // returns_ when patience_timer_ was set
};

} // namespace shuffler
