#include "formats/sam.hpp"

#include "core/report.hpp"
#include "wire/message_header.hpp"

#include <boost/system/system_error.hpp>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

namespace shuffler {

namespace asio = boost::asio;

namespace {

constexpr std::int32_t largest_shard = 65535; // shard numbers travel as 16-bit groups
constexpr std::uint64_t largest_position = 2147483647; // SAM's POS is a signed 32-bit number

bool is_shard_key(const std::string& key) {
    return key.size() >= 2 && key[0] == 's' && key[1] >= '0' && key[1] <= '9';
}

} // namespace

std::uint64_t blocks_before_first_push(std::uint64_t shards, std::uint64_t header_bytes) {
    const std::uint64_t per_shard = (header_size + header_bytes + block::block_size - 1) /
                                    block::block_size;
    return shards * per_shard + 1;
}

void read_sam(record_reader& reader, const shard_map& shards, std::vector<sg_buffer_list>& lists,
              group_table& groups, asio::yield_context yield) {
    char*& cursor = reader.cursor;
    std::uint64_t& available = reader.available;
    bool past_header = false;
    bool at_end = false;
    std::uint64_t header_bytes = 0;
    const std::uint64_t pool_blocks = groups.pool().total_capacity() / block::block_size;
    if (available == 0) reader.fill(yield);
    for (;;) {
        const char* p = cursor;
        const char* const end = cursor + available;
        while (const char* lf = find_line_feed(p, end)) {
            const char* next = lf + 1;
            ++reader.records;
            if (*p == '@') {
                // Every shard got the header before the first alignment; a late header line
                // could reach none of them.
                if (past_header)
                    reader.fail("line " + std::to_string(reader.records) +
                                ": header line after the first alignment line");
                // Nothing is sent before the first alignment line, so every shard's copy of the
                // header must fit in the pool at once.
                header_bytes += std::uint64_t(next - p);
                if (blocks_before_first_push(lists.size(), header_bytes) > pool_blocks)
                    reader.fail("line " + std::to_string(reader.records) + ": a header of " +
                                std::to_string(header_bytes) + " bytes in each of " +
                                std::to_string(lists.size()) + " shards needs more than the " +
                                std::to_string(pool_blocks) +
                                " blocks of the pool; raise --pool_size");
                for (sg_buffer_list& list : lists)
                    list.append(p, next, yield);
            } else if (p != lf) { // blank lines carry nothing
                past_header = true;
                const char* field = p;
                for (int tab = 0; tab < 3; ++tab) {
                    field =
                        static_cast<const char*>(std::memchr(field, '\t', std::size_t(lf - field)));
                    if (!field)
                        reader.fail("line " + std::to_string(reader.records) +
                                    " has fewer than four fields");
                    ++field;
                }
                // field now starts POS; the reference name ends at the tab before it.
                const char* name_end = field - 1;
                const char* name = name_end;
                while (name[-1] != '\t')
                    --name;
                // POS runs to the next tab or to the line's end, less a carriage return there.
                const char* pos_end =
                    static_cast<const char*>(std::memchr(field, '\t', std::size_t(lf - field)));
                if (!pos_end) {
                    pos_end = lf;
                    if (pos_end > field && pos_end[-1] == '\r') --pos_end;
                }
                std::uint64_t position = 0;
                for (const char* d = field; d < pos_end && position <= largest_position; ++d) {
                    if (*d < '0' || *d > '9') {
                        position = largest_position + 1;
                        break;
                    }
                    position = position * 10 + std::uint64_t(*d - '0');
                }
                if (pos_end == field || position > largest_position)
                    reader.fail("line " + std::to_string(reader.records) +
                                ": POS is not a decimal number from 0 to 2147483647");
                // POS 0 (unplaced) wraps to a position past every interval.
                const std::uint32_t pos0 = std::uint32_t(position) - 1;

                std::uint32_t shard = 0;
                const auto contig =
                    shards.find(std::string_view(name, std::size_t(name_end - name)));
                if (contig != shards.end()) {
                    for (const interval_entry& e : contig->second) {
                        if (e.start <= pos0 && pos0 < e.end) {
                            shard = std::uint32_t(e.tag);
                            break;
                        }
                    }
                }
                sg_buffer_list& list = lists[shard];
                const block& last = list.blocks().back();
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
        if (at_end) throw boost::system::system_error(asio::error::eof);
        if (available == record_reader::buffer_size)
            reader.fail("line " + std::to_string(reader.records + 1) +
                        " is longer than the 4 MiB input buffer");
        at_end = reader.refill(yield);
    }
}

void shard_sam(const std::vector<std::string>&, option_map options, group_table& groups,
               asio::io_context& io, asio::yield_context yield) {
    shard_map shards;
    std::int32_t max_shard = 0;
    for (const auto& [key, value] : options) {
        if (!is_shard_key(key)) continue;
        const long number = std::strtol(key.c_str() + 1, nullptr, 10);
        if (number < 1 || std::size_t(number) >= groups.size() || number > largest_shard) {
            write_error_line("Invalid shard id " + std::to_string(number));
            return;
        }
        const std::int32_t shard = std::int32_t(number);
        max_shard = std::max(max_shard, shard);
        std::vector<char> text(value.begin(), value.end());
        text.push_back('\0');
        std::string bad_item;
        if (!parse_interval_list(text.data(), shards, bad_item)) {
            write_error_line("Failed to parse interval string " + bad_item);
            write_error_line("Invalid shard " + value);
            return;
        }
        stamp_shard(shards, std::uint32_t(shard));
    }
    if (max_shard == 0) {
        write_error_line("Missing shard options");
        return;
    }

    // Every shard holds an open block from the start; at least one more must circulate.
    const std::uint64_t pool_blocks = groups.pool().total_capacity() / block::block_size;
    if (blocks_before_first_push(std::uint64_t(max_shard) + 1, 0) > pool_blocks) {
        report_failure(io, "sort_sam",
                       std::to_string(max_shard + 1) + " shards need more blocks than the pool's " +
                           std::to_string(pool_blocks) + "; raise --pool_size");
        return;
    }

    // SAM text always comes from standard input; the file names are not read.
    std::vector<sg_buffer_list> lists;
    lists.reserve(std::size_t(max_shard) + 1);
    for (std::int32_t k = 0; k <= max_shard; ++k)
        lists.emplace_back(groups.pool());
    record_reader stream;
    std::exception_ptr error;
    try {
        for (std::int32_t k = 0; k <= max_shard; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        stream.pipe = std::make_unique<pipe_descriptor>(io);
        stream.pipe->open_stdio(0);
        stream.name = "stdin";
        try {
            read_sam(stream, shards, lists, groups, yield);
        } catch (const boost::system::system_error& e) {
            if (!is_end_of_stream(e.code())) throw;
        }
        for (std::int32_t k = 0; k <= max_shard; ++k) {
            close_message(lists[k]);
            push_message(groups[k], lists[k]);
        }
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    if (error)
        report_pipe_error(io, "sort_sam", error, {stream.pipe.get()}, false, yield);
}

} // namespace shuffler
