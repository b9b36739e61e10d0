#include "groups/group_table.hpp"

#include "driver/report.hpp"

#include <stdexcept>
#include <string>

namespace shuffler {

group_table the_group_table;

group_record::group_record() {
    messages.push_back(end_marker);
    blocks.blocks().push_back(end_marker);
}

group_record::~group_record() {
    waiters.cancel_all();
    messages.clear();
    blocks.blocks().erase(blocks.blocks().iterator_to(end_marker));
    // `blocks` returns the queued blocks to the pool when it is destroyed.
}

void push_message(group_record& record, sg_buffer_list& list) {
    block_list& queued = record.blocks.blocks();
    const auto marker = queued.iterator_to(record.end_marker);
    record.messages.insert(record.messages.iterator_to(record.end_marker), list.blocks().front());
    queued.splice(marker, list.blocks());
    if (record.claim < -1)
        throw std::runtime_error("Unattended group " + std::to_string(-record.claim - 2));
    while (record.message_count() > 0 && !record.waiters.empty())
        record.waiters.wake_one(boost::system::error_code());
}

void pop_message(group_record& record, sg_buffer_list& out, boost::asio::yield_context yield) {
    while (record.message_count() == 0)
        record.waiters.wait(yield);
    sg_buffer& first = record.messages.front();
    record.messages.pop_front();
    sg_buffer& next = record.messages.front(); // next message's first block, or end_marker
    block_list& queued = record.blocks.blocks();
    out.blocks().splice(out.blocks().end(), queued, queued.iterator_to(first),
                        queued.iterator_to(next));
}

void group_table::resize(std::size_t n) {
    while (records_.size() > n)
        records_.pop_back();
    while (records_.size() < n)
        records_.emplace_back();
}

void group_table::clear() {
    while (!records_.empty())
        records_.pop_front();
}

void unattended_check(boost::asio::io_context& io, const boost::system::error_code& ec) {
    if (ec.value() == aborted_value)
        return;
    for (std::size_t i = 0; i < the_group_table.size(); ++i) {
        group_record& record = the_group_table[i];
        if (record.claim >= 0)
            continue;
        record.claim = -2 - std::int32_t(i);
        if (record.message_count() > 0) {
            write_error_line("Unattended group " + std::to_string(i));
            failure_flag = 1;
            io.stop();
        }
    }
}

} // namespace shuffler
