#include "formats/sam.hpp"

#include "core/decimal.hpp"
#include "core/report.hpp"
#include "formats/input_source.hpp"
#include "wire/message_header.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>
#include <string_view>

namespace shuffler {

namespace asio = boost::asio;

namespace {

constexpr std::int64_t largest_shard = 65535; // shard numbers travel as 16-bit groups
constexpr std::uint64_t largest_position = 2147483647; // SAM's POS is a signed 32-bit number

// SAM is text. BAM (BGZF blocks, or raw "BAM\1") and gzip'd text are named for what they are
// before their bytes are taken for malformed lines.
void refuse_binary_input(const record_reader& reader) {
    const auto* p = reinterpret_cast<const unsigned char*>(reader.cursor);
    const std::uint64_t n = reader.available;
    const bool bam = n >= 4 && std::memcmp(p, "BAM\1", 4) == 0;
    const bool gzip = n >= 2 && p[0] == 0x1f && p[1] == 0x8b;
    const bool bgzf = gzip && n >= 14 && (p[3] & 4) != 0 && p[12] == 'B' && p[13] == 'C';
    if (bam || bgzf)
        reader.fail("input looks like BAM; pipe it through `samtools view -h`");
    if (gzip)
        reader.fail("input is gzip-compressed; name it *.sam.gz or pipe it through `gzip -dc`");
}

} // namespace

bool is_shard_key(const std::string& key) {
    return key.size() >= 2 && key[0] == 's' && key[1] >= '0' && key[1] <= '9';
}

shard_plan parse_shard_options(const option_map& options, std::size_t max_groups) {
    const std::int64_t limit = std::min<std::int64_t>(largest_shard, std::int64_t(max_groups) - 1);
    shard_plan plan;
    std::map<std::int64_t, std::string> keys; // shard number to its key, to catch "s01" and "s1"
    for (const auto& [key, value] : options) {
        if (!is_shard_key(key))
            continue;
        const std::string number = key.substr(1);
        std::int64_t shard = 0;
        const decimal_status status = parse_decimal(number, 1, limit, shard);
        if (status == decimal_status::not_a_number)
            throw std::invalid_argument("Invalid shard id " + number + ": a shard key is s "
                                        "followed by a decimal shard number, not " + key);
        if (status != decimal_status::ok)
            throw std::invalid_argument(
                "Invalid shard id " + number +
                (limit < 1 ? ": --max_groups " + std::to_string(max_groups) +
                                 " leaves no group for shards"
                           : ": shards are numbered 1 to " + std::to_string(limit) +
                                 " with --max_groups " + std::to_string(max_groups)));
        if (!keys.emplace(shard, key).second)
            throw std::invalid_argument("Invalid shard id " + number + ": -O " + keys[shard] +
                                        " and -O " + key + " name the same shard");
        if (value.empty())
            throw std::invalid_argument("Invalid shard " + key + ": empty interval list");
        std::vector<char> text(value.begin(), value.end());
        text.push_back('\0');
        std::string bad_item;
        if (!parse_interval_list(text.data(), plan.shards, bad_item))
            throw std::invalid_argument("Invalid shard " + key + ": bad interval " + bad_item);
        stamp_shard(plan.shards, std::uint32_t(shard));
        plan.max_shard = std::max(plan.max_shard, std::uint32_t(shard));
    }
    if (plan.max_shard == 0)
        throw std::invalid_argument(
            "Missing shard options: SAM input is routed by -O s<k>=INTERVALS");
    return plan;
}

std::uint64_t blocks_before_first_push(std::uint64_t shards, std::uint64_t header_bytes) {
    const std::uint64_t per_shard = (header_size + header_bytes + block::block_size - 1) /
                                    block::block_size;
    return shards * per_shard + 1;
}

void read_sam(record_reader& reader, const shard_map& shards, std::vector<sg_buffer_list>& lists,
              group_table& groups, input_counters& counters, asio::yield_context yield) {
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
                for (sg_buffer_list& list : lists) {
                    list.append(p, next, yield);
                    ++list.blocks().front().records;
                }
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
                ++list.blocks().front().records;
            }
            p = next;
        }
        counters.bytes += std::uint64_t(p - cursor);
        counters.records = reader.records;
        available -= std::uint64_t(p - cursor);
        cursor = const_cast<char*>(p);
        if (at_end) throw boost::system::system_error(asio::error::eof);
        if (available == record_reader::buffer_size)
            reader.fail("line " + std::to_string(reader.records + 1) +
                        " is longer than the 4 MiB input buffer");
        at_end = reader.refill(yield);
    }
}

void shard_sam(const std::vector<std::string>& input_files, const shard_plan& plan,
               group_table& groups, input_counters& counters, asio::io_context& io,
               asio::yield_context yield) {
    const std::string name = input_files.empty() ? "" : input_files.front();
    std::vector<sg_buffer_list> lists;
    lists.reserve(std::size_t(plan.max_shard) + 1);
    for (std::uint32_t k = 0; k <= plan.max_shard; ++k)
        lists.emplace_back(groups.pool());
    record_reader stream;
    std::exception_ptr error;
    try {
        for (std::uint32_t k = 0; k <= plan.max_shard; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        open_input(stream, name, io);
        try {
            stream.fill(yield); // the first bytes tell text from compressed or binary data
            refuse_binary_input(stream);
            read_sam(stream, plan.shards, lists, groups, counters, yield);
        } catch (const boost::system::system_error& e) {
            if (!is_end_of_stream(e.code())) throw;
        }
        for (std::uint32_t k = 0; k <= plan.max_shard; ++k) {
            close_message(lists[k]);
            push_message(groups[k], lists[k]);
        }
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    if (error)
        report_pipe_error(io, name.empty() || name == "-" ? "stdin" : name, error,
                          {stream.pipe.get()}, false, yield);
}

} // namespace shuffler
