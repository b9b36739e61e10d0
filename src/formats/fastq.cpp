#include "formats/fastq.hpp"

#include "core/decimal.hpp"
#include "core/report.hpp"
#include "formats/input_source.hpp"
#include "wire/message_header.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace shuffler {

namespace asio = boost::asio;

std::int32_t parse_blksize(const option_map& options) {
    const auto it = options.find("blksize");
    if (it == options.end())
        return default_blksize;
    std::int64_t value = 0;
    switch (parse_decimal(it->second, 1, INT32_MAX, value)) {
    case decimal_status::ok:
        return std::int32_t(value);
    case decimal_status::not_a_number:
        throw std::invalid_argument("Bad blksize '" + it->second +
                                    "': not a whole decimal number of bases");
    case decimal_status::out_of_range:
        break;
    }
    throw std::invalid_argument("Bad blksize " + it->second + ": not within 1 to " +
                                std::to_string(INT32_MAX));
}

namespace {

// True when the stream has no record left.
bool at_end_of_input(record_reader& stream, boost::asio::yield_context yield) {
    if (stream.available > 0) return false;
    try {
        stream.fill(yield);
    } catch (const boost::system::system_error& e) {
        if (is_end_of_stream(e.code())) return true;
        throw;
    }
    return stream.available == 0;
}

// Paired files must hold the same number of records; `ended` is the stream that ran out first.
void check_paired_end(std::deque<record_reader>& streams, std::size_t ended,
                      boost::asio::yield_context yield) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (i == ended) continue;
        if (i < ended || !at_end_of_input(streams[i], yield))
            throw record_error(streams[ended].name + ": ended after " +
                               std::to_string(streams[ended].records) + " records, but " +
                               streams[i].name +
                               " has more (paired files hold the same number of records)");
    }
}

// Queues a block of `records` records, `tag_bytes` of which were added by the dicer.
void push_block(group_table& groups, sg_buffer_list& message, std::uint64_t records,
                std::uint64_t tag_bytes, input_counters& counters) {
    message.blocks().front().records = records;
    counters.records += records;
    counters.bytes += message.size() - header_size - tag_bytes;
    close_message(message);
    push_message(groups[0], message);
}

} // namespace

std::size_t read_fastq(record_reader& reader, sg_buffer_list& list, const char* suffix,
                       asio::yield_context yield) {
    char*& cursor = reader.cursor;
    std::uint64_t& available = reader.available;
    bool at_end = false; // the input has ended; only the bytes at hand remain
    if (available == 0) reader.fill(yield);
    for (;;) {
        const char* p = cursor;
        const char* end = cursor + available;
        // Builds the error text only when it is needed: the data path allocates nothing.
        auto fail_record = [&reader](const char* problem) {
            reader.fail("record " + std::to_string(reader.records + 1) + problem);
        };
        if (*p == '\n') fail_record(": blank line where a record should start");
        if (*p != '@') fail_record(": line 1 does not begin with '@'");
        const char* lf1 = find_line_feed(p, end);
        const char* lf2 = lf1 ? find_line_feed(lf1 + 1, end) : nullptr;
        if (lf2 && lf2 + 1 < end && lf2[1] != '+') fail_record(": line 3 does not begin with '+'");
        const char* lf3 = lf2 && lf2 + 1 < end ? find_line_feed(lf2 + 1, end) : nullptr;
        const char* lf4 = lf3 ? find_line_feed(lf3 + 1, end) : nullptr;
        if (lf4) {
            const char* seq_end = lf2;
            while (seq_end > lf1 + 1 && seq_end[-1] == '\r')
                --seq_end;
            if (suffix) {
                list.append(p, lf1, yield);
                list.append(suffix, suffix + std::strlen(suffix), yield);
                list.append(lf1, lf4 + 1, yield);
            } else {
                list.append(p, lf4 + 1, yield);
            }
            const std::uint64_t length = std::uint64_t(lf4 + 1 - p);
            cursor += length;
            available -= length;
            ++reader.records;
            return std::size_t(seq_end - (lf1 + 1));
        }
        if (at_end) fail_record(": incomplete record at end of input");
        if (available == record_reader::buffer_size)
            fail_record(" is longer than the 4 MiB input buffer");
        at_end = reader.refill(yield);
    }
}

void dice_fastq(const std::vector<std::string>& input_files, std::int32_t blksize,
                group_table& groups, input_counters& counters, asio::io_context& io,
                asio::yield_context yield) {
    std::deque<record_reader> streams; // a deque: streams never move once opened
    try {
        if (groups.size() == 0) throw std::runtime_error("Group id exceeds maximum");
        if (input_files.empty()) open_input(streams.emplace_back(), "", io);
        for (const std::string& name : input_files)
            open_input(streams.emplace_back(), name, io);

        const std::uint64_t threshold = std::uint64_t(std::int64_t(blksize));
        // A block must stay well inside the pool (or it waits for ever for blocks that only its
        // own sending could free) and inside the header's 32-bit length, whatever blksize says.
        const std::uint64_t block_cap =
            std::min<std::uint64_t>(groups.pool().total_capacity() / 2, std::uint64_t(1) << 31);
        // 64 bits: a large run passes 2^31 records, where a 32-bit count would overflow.
        std::int64_t record_number = 0;
        sg_buffer_list message(groups.pool());
        for (;;) {
            open_message(message, 0, yield);
            char tag[32];
            std::snprintf(tag, sizeof tag, " #%lld#", static_cast<long long>(record_number));
            const std::int64_t first_record = record_number;
            // A block with records has one tag per file.
            const auto tag_bytes = [&] {
                return record_number > first_record ? streams.size() * std::strlen(tag) : 0;
            };
            std::uint64_t bases = 0;
            std::size_t file = 0;
            try {
                // A block ends only after a whole pass and at an even record number, so mates
                // (paired files, or interleaved pairs in one file) stay together.
                for (bool first_pass = true;
                     (bases < threshold && message.block_count() * block::block_size < block_cap) ||
                     (record_number & 1);
                     first_pass = false) {
                    for (file = 0; file < streams.size(); ++file)
                        bases +=
                            read_fastq(streams[file], message, first_pass ? tag : nullptr, yield);
                    record_number += std::int64_t(streams.size());
                }
            } catch (const boost::system::system_error& e) {
                if (!is_end_of_stream(e.code())) throw;
                push_block(groups, message, std::uint64_t(record_number - first_record),
                           tag_bytes(), counters);
                check_paired_end(streams, file, yield);
                break;
            }
            push_block(groups, message, std::uint64_t(record_number - first_record), tag_bytes(),
                       counters);
        }
    } catch (const std::exception&) {
        // Report before closing the inputs: a child cut off mid-stream adds its own status line.
        report_input_exception(io, input_files.empty() ? "stdin" : input_files.front());
    }
}

} // namespace shuffler
