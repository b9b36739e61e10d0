#include "groups/group_table.hpp"

#include "core/report.hpp"
#include "groups/spill.hpp"
#include "wire/message_header.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <boost/assert.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace shuffler {

group_state::group_state(buffer_pool& pool) : blocks(pool) {
    messages.push_back(end_marker);
    blocks.blocks().push_back(end_marker);
}

group_state::~group_state() {
    // Waking a waiter from here would run it against whatever else is already half destroyed.
    BOOST_ASSERT_MSG(waiters.empty(), "group destroyed while a coroutine waits on it");
    messages.clear();
    blocks.blocks().erase(blocks.blocks().iterator_to(end_marker));
    // `blocks` returns the queued blocks to the pool when it is destroyed.
}

void push_message(group_state& record, block_chain& list) {
    if (list.size() <= header_size) {
        list.release();
        return;
    }
    block_list& queued = record.blocks.blocks();
    const std::uint64_t before = queued.size();
    const auto marker = queued.iterator_to(record.end_marker);
    record.messages.insert(record.messages.iterator_to(record.end_marker), list.blocks().front());
    queued.splice(marker, list.blocks());
    record.count_blocks(before);
    if (record.claim == group_claim::unattended)
        throw std::runtime_error("Unattended group " + std::to_string(record.number));
    record.wake_ready();
}

namespace {

// Wakes the producer waiting for room, if any: it runs once the caller has suspended, and so
// sees the consumer waiting and the message taken counted as sent.
void tell_producer(const group_state& record) {
    if (record.room)
        record.room->producer.wake_all();
}

} // namespace

bool pop_message(group_state& record, block_chain& out, const boost::asio::yield_context& yield,
                 const void* tag) {
    while (record.ready_count() == 0) {
        if (record.finished())
            return false;
        if (record.spill)
            record.spill->refill(record, 1);
        // A producer held back by the queues' length looks again once this consumer waits.
        tell_producer(record);
        // Counted while it waits, however the wait ends.
        struct counted {
            producer_room* room;
            explicit counted(producer_room* room) : room(room) {
                if (room)
                    ++room->waiting_consumers;
            }
            ~counted() {
                if (room)
                    --room->waiting_consumers;
            }
        } waiting(record.room);
        record.waiters.wait(yield, tag);
    }
    block& first = record.messages.front();
    record.messages.pop_front();
    if (!record.spilled.empty())
        --record.head;
    block& next = record.messages.front(); // next message's first block, or end_marker
    block_list& queued = record.blocks.blocks();
    const std::uint64_t before = queued.size();
    out.blocks().splice(out.blocks().end(), queued, queued.iterator_to(first),
                        queued.iterator_to(next));
    record.count_blocks(before);
    if (record.room)
        record.room->last_taken = std::chrono::steady_clock::now();
    tell_producer(record);
    return true;
}

void resend_messages(group_state& record, sent_list& lists) {
    block_list& queued = record.blocks.blocks();
    const std::uint64_t before = queued.size();
    const auto front = record.messages.begin(); // the oldest queued message, or end_marker
    if (record.spilled.empty())
        record.head = 0; // counts from here: the messages resent come first
    for (sent_message& sent : lists) {
        --record.in_flight;
        if (sent.list.block_count() == 0)
            continue;
        sent.list.blocks().front().records = sent.records;
        record.messages.insert(front, sent.list.blocks().front());
        queued.splice(queued.iterator_to(*front), sent.list.blocks());
        ++record.head;
    }
    lists.clear();
    record.count_blocks(before);
    record.wake_ready();
    if (record.spill && !record.waiters.empty())
        record.spill->refill(record, 0);
}

void acknowledge_message(group_state& record) {
    --record.in_flight;
    if (record.finished())
        record.waiters.wake_all();
}

void close_group(group_state& record) {
    record.closed = true;
    if (record.finished())
        record.waiters.wake_all();
}

void group_table::resize(std::size_t n) {
    for (std::size_t i = n; i < records_.size(); ++i)
        if (records_[i])
            used_.erase(std::find(used_.begin(), used_.end(), records_[i].get()));
    records_.resize(n);
}

group_state& group_table::make(std::size_t i) {
    records_[i] = std::make_unique<group_state>(*pool_);
    group_state& record = *records_[i];
    record.room = &room_;
    record.closed = closed_;
    if (unattended_)
        record.claim = group_claim::unattended;
    record.spill = spill_;
    record.number = i;
    used_.push_back(&record);
    return record;
}

void group_table::close_all() {
    closed_ = true;
    // Closing may wake consumers that end their sessions; the list stays as it is meanwhile.
    const std::vector<group_state*> used = used_;
    for (group_state* record : used)
        close_group(*record);
}

std::vector<std::size_t> group_table::mark_unattended() {
    unattended_ = true;
    std::vector<std::size_t> marked;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        group_state* record = records_[i].get();
        if (record && record->claim == group_claim::open) {
            record->claim = group_claim::unattended;
            marked.push_back(i);
        }
    }
    return marked;
}

bool group_table::all_finished() const {
    if (used_.size() < records_.size() && !closed_)
        return false; // a group not used yet is finished once closed
    for (const group_state* record : used_)
        if (!record->finished())
            return false;
    return true;
}

void group_table::set_spiller(spiller* spill) {
    spill_ = spill;
    for (group_state* record : used_)
        record->spill = spill;
}

void group_table::wait_for_room(std::uint64_t most, std::chrono::milliseconds patience,
                                const boost::asio::yield_context& yield) {
    for (;;) {
        const std::uint64_t queued = room_.queued_blocks;
        const bool starving = room_.waiting_consumers > 0;
        if (queued < most) {
            room_.running_ahead = false;
            return;
        }
        if (!starving) {
            room_.producer.wait(yield);
            continue;
        }
        if (room_.running_ahead)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (room_.stalled_since <= room_.last_taken) // nothing waited for since the last taken
            room_.stalled_since = now;
        const auto limit = room_.stalled_since + patience;
        if (now >= limit) {
            room_.running_ahead = true;
            return;
        }
        // Destroyed on the way out, which cancels it: its handler then touches nothing.
        boost::asio::steady_timer timer(yield.get_executor(), limit);
        timer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec)
                room_.producer.wake_all();
        });
        room_.producer.wait(yield);
    }
}

bool group_table::end_waits() {
    bool waited = !pool_->waiters().empty() || !room_.producer.empty() || !preamble_.waiters.empty();
    pool_->waiters().cancel_all();
    room_.producer.cancel_all();
    preamble_.waiters.cancel_all();
    for (group_state* record : used_) {
        waited = waited || !record->waiters.empty();
        record->waiters.cancel_all();
    }
    return waited;
}

void group_table::clear() {
    used_.clear();
    for (std::unique_ptr<group_state>& record : records_)
        record.reset();
    records_.clear();
}

void unattended_check(group_table& groups, boost::asio::io_context& io,
                      const boost::system::error_code& ec) {
    if (is_cancellation(ec))
        return;
    for (const std::size_t i : groups.mark_unattended())
        if (groups[i].message_count() > 0)
            report_line(io, "Unattended group " + std::to_string(i));
}

bool delivery_check(group_table& groups, boost::asio::io_context& io) {
    bool delivered = true;
    std::vector<const group_state*> used(groups.used().begin(), groups.used().end());
    std::sort(used.begin(), used.end(),
              [](const group_state* a, const group_state* b) { return a->number < b->number; });
    for (const group_state* record : used) {
        if (record->message_count() > 0 || record->in_flight > 0) {
            delivered = false;
            if (!report_to(io).failed())
                report_line(io, "Unattended group " + std::to_string(record->number));
        }
    }
    return delivered;
}

} // namespace shuffler
