// The SAM line reader and router. When it accepts the text, every alignment line is in exactly
// one shard, the one a plain reading of its contig and POS picks, in input order, and every
// shard starts with all the header lines; it must accept exactly what that reading accepts.
//
// Input: shard 1's interval list, a line feed, shard 2's, a line feed, then the SAM text. Texts
// with @SQ lines are left out: the header checks against them have tests of their own.

#include "formats/sam.hpp"
#include "fuzz/fuzz_support.hpp"
#include "wire/message_header.hpp"

#include <string>
#include <vector>

using namespace shuffler;
using namespace shuffler_fuzz;

namespace {

constexpr std::size_t shard_count = 3; // group 0 and shards 1 and 2

// A plain reading of the routing: each shard's expected payload, or false for text to refuse.
bool reference_route(const std::string& text, const interval_set& shards,
                     std::vector<std::string>& expected) {
    std::string header, lines[shard_count];
    bool past_header = false;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t lf = text.find('\n', from);
        if (lf == std::string::npos)
            lf = text.size();
        const std::string line = text.substr(from, lf - from);
        from = lf + 1;
        if (line.empty())
            continue;
        if (line[0] == '@') {
            if (past_header)
                return false;
            header += line + "\n";
            continue;
        }
        past_header = true;
        std::vector<std::string> fields;
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (fields.size() < 4)
            return false;
        std::string pos = fields[3];
        if (fields.size() == 4 && !pos.empty() && pos.back() == '\r')
            pos.pop_back();
        const std::size_t digits = pos.find_first_not_of('0');
        if (pos.empty() || pos.find_first_not_of("0123456789") != std::string::npos ||
            (digits != std::string::npos && pos.size() - digits > 10))
            return false;
        const unsigned long long value = digits == std::string::npos ? 0 : std::stoull(pos);
        if (value > 2147483647)
            return false;
        const std::uint32_t pos0 = std::uint32_t(value) - 1; // POS 0 lies past every interval
        std::size_t shard = 0;
        for (const shard_interval& e : shards.intervals) // the first written wins
            if (e.contig == fields[2] && e.start <= pos0 && pos0 < e.end) {
                shard = std::size_t(e.shard);
                break;
            }
        lines[shard] += line + "\n";
    }
    for (std::size_t k = 0; k < shard_count; ++k)
        expected.push_back(header + lines[k]);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t first = input.find('\n');
    const std::size_t second = first == std::string::npos ? first : input.find('\n', first + 1);
    if (second == std::string::npos)
        return 0;
    shard_plan plan;
    plan.intervals.origins.push_back("-O s1");
    plan.intervals.origins.push_back("-O s2");
    plan.max_shard = shard_count - 1;
    const std::string lists_text[] = {input.substr(0, first),
                                      input.substr(first + 1, second - first - 1)};
    for (std::uint32_t k = 1; k < shard_count; ++k) {
        const std::string& text = lists_text[k - 1];
        std::string bad;
        if (text.find('@') != std::string::npos ||
            !parse_interval_list(text, k, k - 1, plan.intervals, bad))
            return 0; // the interval parser has a target of its own
    }
    const std::uint8_t* sam = data + second + 1;
    const std::size_t sam_size = size - second - 1;
    if (input.find("@SQ", second + 1) != std::string::npos)
        return 0;

    static boost::asio::io_context io;
    static group_table groups(fuzz_pool());
    groups.resize(shard_count);
    // The header goes to every session first, as its preamble; each run starts with none.
    groups.preamble().text.clear();
    groups.preamble().lines = 0;
    groups.preamble().known = false;
    byte_pipe pipe(sam, sam_size);
    const auto reader = open_reader(io, pipe.take_reader(), "stdin");
    std::vector<block_chain> lists;
    for (std::size_t k = 0; k < shard_count; ++k)
        lists.emplace_back(fuzz_pool());
    std::string outcome;
    std::vector<std::string> payloads(shard_count);
    run_coroutine(io, [&](const boost::asio::yield_context& yield) {
        for (std::size_t k = 0; k < shard_count; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        input_counters counters;
        outcome =
            outcome_of([&] { read_sam(*reader, plan, lists, groups, counters, yield); });
        // Each shard's output: the header its session sends first, its queued messages, then its
        // open one.
        for (std::size_t k = 0; k < shard_count; ++k) {
            payloads[k] = groups.preamble().text;
            while (groups[k].message_count() > 0) {
                block_chain message(fuzz_pool());
                pop_message(groups[k], message, yield);
                const std::string bytes = contents(message);
                const message_header h = load_header(bytes.data());
                FUZZ_CHECK(header_is_valid(h) && h.group == k &&
                           h.length == bytes.size() - header_size);
                payloads[k] += bytes.substr(header_size);
            }
            payloads[k] += contents(lists[k]).substr(header_size);
        }
    });
    reader->pipe.reset();

    std::vector<std::string> expected;
    const bool reference_accepted =
        reference_route(std::string(reinterpret_cast<const char*>(sam), sam_size), plan.intervals,
                        expected);
    FUZZ_CHECK(outcome.empty() == reference_accepted);
    if (reference_accepted)
        FUZZ_CHECK(payloads == expected);
    return 0;
}
