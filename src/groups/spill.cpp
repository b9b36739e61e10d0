#include "groups/spill.hpp"

#include "core/report.hpp"

#include <boost/assert.hpp>

#include <algorithm>
#include <iterator>

namespace shuffler {

spiller::spiller(group_table& groups, spill_store& store, boost::asio::io_context& io,
                 std::chrono::milliseconds patience)
    : groups_(groups), store_(store), io_(io), patience_(patience), patience_timer_(io) {
    groups_.set_spiller(this);
    groups_.pool().on_shortage = [this] { shortage(); };
    groups_.pool().on_release = [this] { blocks_returned(); };
}

spiller::~spiller() {
    groups_.set_spiller(nullptr);
    groups_.pool().on_shortage = nullptr;
    groups_.pool().on_release = nullptr;
}

std::uint64_t spiller::spill_start(const group_state& record) const {
    if (!record.spilled.empty())
        return record.head;
    return std::min<std::uint64_t>(record.in_memory(), record.waiters.size());
}

bool spiller::anyone_starves() const {
    for (const group_state* record : groups_.used())
        if (!record->waiters.empty() && record->ready_count() == 0)
            return true;
    return false;
}

void spiller::relieve(bool starving) {
    if (writing_ > 0 || report_to(io_).failed() || !(starving || anyone_starves()))
        return;
    group_state* largest = nullptr;
    std::uint64_t largest_blocks = 0, largest_start = 0;
    for (group_state* used : groups_.used()) {
        group_state& record = *used;
        const std::uint64_t start = spill_start(record);
        std::uint64_t blocks = 0;
        if (record.in_memory() > start) {
            // Blocks from the first message that may go: all queued ones but those before it.
            auto first = std::next(record.messages.begin(), std::ptrdiff_t(start));
            const block_list& queued = record.blocks.blocks();
            const auto kept = std::distance(queued.begin(), queued.iterator_to(*first));
            blocks += queued.size() - 1 - std::uint64_t(kept);
        }
        if (blocks > largest_blocks) {
            largest = &record;
            largest_blocks = blocks;
            largest_start = start;
        }
    }
    if (largest)
        spill_group(*largest, largest_start);
}

void spiller::shortage(bool starving) {
    if (writing_ > 0 || report_to(io_).failed())
        return;
    if (spilled_ > 0)
        return relieve(starving);
    if (!waiting_)
        wait_patiently();
}

void spiller::wait_patiently() {
    waiting_ = true;
    returns_at_wait_ = returns_;
    patience_timer_.expires_after(patience_);
    patience_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec)
            return; // cancelled: the spiller is gone
        waiting_ = false;
        if (groups_.pool().waiters().empty())
            return; // the producer got its blocks
        if (returns_ != returns_at_wait_)
            return wait_patiently(); // consumers are freeing blocks: wait on
        relieve();
    });
}

void spiller::spill_group(group_state& record, std::uint64_t start) {
    if (record.spilled.empty())
        record.head = start;
    block_list& queued = record.blocks.blocks();
    // The room's sum of queued blocks follows, however this ends.
    struct recount {
        group_state& record;
        const std::uint64_t before;
        ~recount() { record.count_blocks(before); }
    } counted{record, queued.size()};
    auto it = std::next(record.messages.begin(), std::ptrdiff_t(start));
    // Oldest first: they follow those spilled before, and come back in this order.
    while (&*it != &record.end_marker) {
        const auto next = std::next(it);
        block_chain list(groups_.pool());
        list.blocks().splice(list.blocks().end(), queued, queued.iterator_to(*it),
                             queued.iterator_to(*next));
        auto spilled = std::make_shared<spilled_message>();
        spilled->records = it->records;
        if (list.block_count() > 1 || !write_out(record, spilled, list)) {
            // Too large, or at the cap: it stays, and so do those after it, to keep the order.
            queued.splice(queued.iterator_to(*next), list.blocks());
            return;
        }
        it = record.messages.erase(it);
        record.spilled.push_back(std::move(spilled));
        ++spilled_;
    }
}

bool spiller::write_out(group_state& record, const std::shared_ptr<spilled_message>& message,
                        block_chain& list) {
    const std::uint64_t size = list.size();
    if (!store_.fits(size))
        return false;
    message->size = size;
    ++writing_;
    group_state* r = &record;
    message->offset =
        store_.write(std::move(list), [this, r, message](const std::string& error,
                                                         std::uint32_t crc) {
            --writing_;
            if (!error.empty())
                return fail(error);
            message->crc = crc;
            message->on_disk = true;
            refill(*r, 0);
        }).offset;
    return true;
}

void spiller::refill(group_state& record, std::size_t extra) {
    if (report_to(io_).failed())
        return;
    const std::uint64_t want = record.waiters.size() + extra;
    if (record.spilled.empty()) {
        // A consumer about to wait for data the producer cannot bring while it waits for
        // blocks: the producer has been left waiting because nobody starved until now.
        if (extra > 0 && record.ready_count() == 0 && !groups_.pool().waiters().empty())
            shortage(true);
        return;
    }
    for (std::size_t i = 0; i < record.spilled.size(); ++i) {
        if (record.ready_count() + record.reading >= want)
            return;
        const std::shared_ptr<spilled_message>& m = record.spilled[i];
        if (m->reading)
            continue;
        if (!m->on_disk)
            return; // its write completes later and calls again
        block_chain list(groups_.pool());
        if (!list.try_acquire(m->size)) {
            if (record.ready_count() + record.reading == 0 && want > 0) {
                if (std::find(urgent_.begin(), urgent_.end(), &record) == urgent_.end())
                    urgent_.push_back(&record);
                relieve(true);
            }
            return;
        }
        m->reading = true;
        ++record.reading;
        group_state* r = &record;
        store_.read(spill_extent{m->offset, m->size, m->crc}, std::move(list),
                    [this, r, m](const std::string& error, block_chain& back) {
                        if (!error.empty())
                            return fail(error);
                        read_back(*r, m, back);
                    });
    }
}

void spiller::read_back(group_state& record, const std::shared_ptr<spilled_message>& message,
                        block_chain& list) {
    // Usually the oldest: reads complete in the order asked for, and only messages resent
    // after a failure go before those already being read.
    const auto at = std::find(record.spilled.begin(), record.spilled.end(), message);
    BOOST_ASSERT(at != record.spilled.end());
    record.spilled.erase(at);
    --spilled_;
    --record.reading;
    list.blocks().front().records = message->records;
    const auto after_head = std::next(record.messages.begin(), std::ptrdiff_t(record.head));
    block_list& queued = record.blocks.blocks();
    const std::uint64_t before = queued.size();
    record.messages.insert(after_head, list.blocks().front());
    queued.splice(queued.iterator_to(*after_head), list.blocks());
    record.count_blocks(before);
    ++record.head;
    record.wake_ready();
    refill(record, 0);
}

void spiller::blocks_returned() {
    ++returns_;
    if (serving_)
        return;
    serving_ = true;
    std::vector<group_state*> waiting;
    waiting.swap(urgent_);
    for (group_state* record : waiting)
        refill(*record, 0);
    // Blocks that went to reading back leave the producer waiting: make room for it too.
    if (groups_.pool().free_list().empty() && !groups_.pool().waiters().empty())
        shortage();
    serving_ = false;
}

void spiller::fail(const std::string& error) {
    if (!report_to(io_).failed())
        report_failure(io_, store_.label(), error);
}

} // namespace shuffler
