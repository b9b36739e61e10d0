#include "pipes/pipe_stream.hpp"

#include "driver/report.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "net/transfer.hpp"

#include <boost/asio/read.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace shuffler {

namespace asio = boost::asio;

namespace {

constexpr std::uint64_t read_chunk = 65536;

bool is_end_of_file(const boost::system::system_error& e) {
    return e.code().value() == end_of_file_value;
}

const char* find_line_feed(const char* from, const char* end) {
    return static_cast<const char*>(std::memchr(from, '\n', std::size_t(end - from)));
}

} // namespace

pipe_stream::pipe_stream() : buffer(new char[buffer_size]), cursor(buffer.get()) {}

void pipe_stream::fill(asio::yield_context yield) {
    char* start = buffer.get();
    if (available > 0 && cursor != start)
        std::memmove(start, cursor, available);
    cursor = start;
    const std::uint64_t room = buffer_size - available;
    if (room == 0)
        return;
    boost::system::error_code ec;
    const std::size_t got =
        asio::async_read(pipe->descriptor, asio::buffer(start + available, room),
                         transfer_at_least_at_once{std::min(room, read_chunk)}, yield[ec]);
    available += got;
    if (ec && !(ec == asio::error::eof && got > 0))
        throw boost::system::system_error(ec);
}

void pipe_stream::fail(const std::string& problem) const {
    throw std::runtime_error(name + ": " + problem);
}

bool pipe_stream::refill(asio::yield_context yield) {
    try {
        fill(yield);
        return false;
    } catch (const boost::system::system_error& e) {
        if (!is_end_of_file(e) || !finish_last_line())
            throw;
        return true;
    }
}

bool pipe_stream::finish_last_line() {
    if (available == 0)
        return false;
    if (cursor[available - 1] == '\n' || available == buffer_size)
        fail("record " + std::to_string(records + 1) + ": incomplete record at end of input");
    cursor[available++] = '\n';
    return true;
}

std::size_t pipe_stream::read_fastq(sg_buffer_list& list, const char* suffix,
                                    asio::yield_context yield) {
    bool at_end = false; // the input has ended; only the bytes at hand remain
    if (available == 0)
        fill(yield);
    for (;;) {
        const char* p = cursor;
        const char* end = cursor + available;
        // Builds the error text only when it is needed: the data path allocates nothing.
        auto fail_record = [this](const char* problem) {
            fail("record " + std::to_string(records + 1) + problem);
        };
        if (*p == '\n')
            fail_record(": blank line where a record should start");
        if (*p != '@')
            fail_record(": line 1 does not begin with '@'");
        const char* lf1 = find_line_feed(p, end);
        const char* lf2 = lf1 ? find_line_feed(lf1 + 1, end) : nullptr;
        if (lf2 && lf2 + 1 < end && lf2[1] != '+')
            fail_record(": line 3 does not begin with '+'");
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
            ++records;
            return std::size_t(seq_end - (lf1 + 1));
        }
        if (at_end)
            fail_record(": incomplete record at end of input");
        if (available == buffer_size)
            fail_record(" is longer than the 4 MiB input buffer");
        at_end = refill(yield);
    }
}

void pipe_stream::read_sam(const shard_map& shards, std::vector<sg_buffer_list>& lists,
                           group_table& groups, asio::yield_context yield) {
    bool past_header = false;
    bool at_end = false;
    if (available == 0)
        fill(yield);
    for (;;) {
        const char* p = cursor;
        const char* const end = cursor + available;
        while (const char* lf = find_line_feed(p, end)) {
            const char* next = lf + 1;
            ++records;
            if (*p == '@') {
                if (!past_header)
                    for (sg_buffer_list& list : lists)
                        list.append(p, next, yield);
            } else if (p != lf) { // blank lines carry nothing
                past_header = true;
                const char* field = p;
                for (int tab = 0; tab < 3; ++tab) {
                    field = static_cast<const char*>(std::memchr(field, '\t', std::size_t(lf - field)));
                    if (!field)
                        fail("line " + std::to_string(records) + " has fewer than four fields");
                    ++field;
                }
                // field now starts POS; the reference name ends at the tab before it.
                const char* name_end = field - 1;
                const char* name = name_end;
                while (name[-1] != '\t')
                    --name;
                std::uint32_t position = 0;
                for (const char* d = field; d < lf && *d >= '0' && *d <= '9'; ++d)
                    position = position * 10 + std::uint32_t(*d - '0');
                const std::uint32_t pos0 = position - 1;

                std::uint32_t shard = 0;
                const auto contig = shards.find(std::string_view(name, std::size_t(name_end - name)));
                if (contig != shards.end()) {
                    for (const interval_entry& e : contig->second) {
                        if (e.start <= pos0 && pos0 < e.end) {
                            shard = std::uint32_t(e.tag);
                            break;
                        }
                    }
                }
                sg_buffer_list& list = lists[shard];
                const sg_buffer& last = list.blocks().back();
                if (last.capacity - last.end < std::uint64_t(next - p)) {
                    close_message(list);
                    push_message(groups[shard], list);
                    open_message(list, std::uint16_t(shard), yield);
                }
                list.append(p, next, yield);
            }
            p = next;
        }
        available -= std::uint64_t(p - cursor);
        cursor = const_cast<char*>(p);
        if (at_end)
            throw boost::system::system_error(asio::error::eof);
        if (available == buffer_size)
            fail("line " + std::to_string(records + 1) + " is longer than the 4 MiB input buffer");
        at_end = refill(yield);
    }
}

} // namespace shuffler
