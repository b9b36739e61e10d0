#include "formats/shard_plan.hpp"

#include "core/decimal.hpp"
#include "io/record_reader.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace shuffler {

namespace {

constexpr std::int64_t largest_shard = 65535; // shard numbers travel as 16-bit groups
constexpr std::int64_t largest_pad = 0x7FFFFFFF;

void fail_on(const std::string& mismatch) {
    if (!mismatch.empty())
        throw record_error(mismatch);
}

// The largest shard number that --max_groups leaves, or a refusal when it leaves none.
std::int64_t shard_limit(std::size_t max_groups, const std::string& what) {
    const std::int64_t limit = std::min<std::int64_t>(largest_shard, std::int64_t(max_groups) - 1);
    if (limit < 1)
        throw std::invalid_argument(what + ": --max_groups " + std::to_string(max_groups) +
                                    " leaves no group for shards");
    return limit;
}

// Shard k of n holds bases [k*G/n rounded down, (k+1)*G/n rounded down) of the genome G, the
// contigs one after another in header order.
std::vector<shard_interval> cut_equal_shards(const sequence_dictionary& header, std::uint32_t n) {
    std::uint64_t genome = 0;
    for (const contig_info& c : header.contigs())
        genome += c.length;
    // k * genome could overflow for large n and genomes; k * remainder < n * n cannot.
    const std::uint64_t quotient = genome / n, remainder = genome % n;
    const auto boundary = [&](std::uint64_t k) { return k * quotient + k * remainder / n; };
    std::vector<shard_interval> pieces;
    std::size_t c = 0;
    std::uint64_t offset = 0; // where contig c starts in the genome
    for (std::uint32_t k = 1; k <= n; ++k) {
        for (std::uint64_t at = boundary(k - 1), to = boundary(k); at < to;) {
            while (offset + header.contigs()[c].length <= at)
                offset += header.contigs()[c++].length;
            const contig_info& contig = header.contigs()[c];
            const std::uint64_t piece_end = std::min(to, offset + contig.length);
            shard_interval e;
            e.contig = contig.name;
            e.start = std::uint32_t(at - offset);
            e.end = std::uint32_t(piece_end - offset);
            e.shard = k;
            pieces.push_back(std::move(e));
            at = piece_end;
        }
    }
    return pieces;
}

} // namespace

bool is_shard_key(const std::string& key) {
    return key.size() >= 2 && key[0] == 's' && key[1] >= '0' && key[1] <= '9';
}

bool is_sam_key(const std::string& key) {
    return is_shard_key(key) || key == "shards" || key == "pad" || key == "reference";
}

shard_plan parse_shard_options(const option_map& options, std::size_t max_groups) {
    shard_plan plan;
    if (const auto pad = options.find("pad"); pad != options.end()) {
        std::int64_t bases = 0;
        if (parse_decimal(pad->second, 0, largest_pad, bases) != decimal_status::ok)
            throw std::invalid_argument("Invalid -O pad=" + pad->second +
                                        ": expected a number of bases from 0 to 2147483647");
        plan.pad = std::uint32_t(bases);
    }
    if (const auto shards = options.find("shards"); shards != options.end()) {
        const std::string what = "Invalid -O shards=" + shards->second;
        const std::int64_t limit = shard_limit(max_groups, what);
        std::int64_t n = 0;
        if (parse_decimal(shards->second, 1, limit, n) != decimal_status::ok)
            throw std::invalid_argument(what + ": expected a number of shards from 1 to " +
                                        std::to_string(limit) + " with --max_groups " +
                                        std::to_string(max_groups));
        const auto explicit_key = std::find_if(options.begin(), options.end(),
                                               [](const auto& o) { return is_shard_key(o.first); });
        if (explicit_key != options.end())
            throw std::invalid_argument("-O shards=" + shards->second +
                                        " cuts the genome into shards itself; it does not "
                                        "combine with -O " + explicit_key->first);
        plan.equal_shards = plan.max_shard = std::uint32_t(n);
        plan.intervals.origins.push_back("-O shards=" + shards->second);
    }
    std::map<std::int64_t, std::string> keys; // shard number to its key, to catch "s01" and "s1"
    for (const auto& [key, value] : options) {
        if (!is_shard_key(key))
            continue;
        const std::string number = key.substr(1);
        std::int64_t shard = 0;
        const decimal_status status = parse_decimal(number, 1, largest_shard, shard);
        if (status == decimal_status::not_a_number)
            throw std::invalid_argument("Invalid shard id " + number + ": a shard key is s "
                                        "followed by a decimal shard number, not " + key);
        const std::int64_t limit = shard_limit(max_groups, "Invalid shard id " + number);
        if (status != decimal_status::ok || shard > limit)
            throw std::invalid_argument("Invalid shard id " + number +
                                        ": shards are numbered 1 to " + std::to_string(limit) +
                                        " with --max_groups " + std::to_string(max_groups));
        if (!keys.emplace(shard, key).second)
            throw std::invalid_argument("Invalid shard id " + number + ": -O " + keys[shard] +
                                        " and -O " + key + " name the same shard");
        if (value.empty())
            throw std::invalid_argument("Invalid shard " + key + ": empty interval list");
        const std::uint32_t origin = std::uint32_t(plan.intervals.origins.size());
        plan.intervals.origins.push_back("-O " + key);
        std::string bad_item;
        if (!parse_interval_list(value, std::uint32_t(shard), origin, plan.intervals, bad_item))
            throw std::invalid_argument("Invalid shard " + key + ": bad interval " + bad_item);
        plan.max_shard = std::max(plan.max_shard, std::uint32_t(shard));
    }
    if (plan.max_shard == 0)
        throw std::invalid_argument("Missing shard options: SAM input is routed by "
                                    "-O s<k>=INTERVALS or -O shards=N");
    if (const auto reference = options.find("reference"); reference != options.end()) {
        plan.reference = load_reference(reference->second);
        for (const sequence_dictionary& d : plan.intervals.dictionaries)
            fail_on(dictionary_mismatch(d, *plan.reference));
        resolve_whole_names(plan.intervals.intervals, *plan.reference);
        fail_on(interval_mismatch(plan.intervals, plan.intervals.intervals, *plan.reference));
    }
    return plan;
}

shard_router plan_routes(const shard_plan& plan, const sequence_dictionary& header) {
    if (plan.equal_shards && header.empty())
        throw record_error(plan.intervals.origins.at(0) + ": " + header.label() +
                           " has no @SQ lines to cut into shards");
    std::vector<shard_interval> intervals =
        plan.equal_shards ? cut_equal_shards(header, plan.equal_shards) : plan.intervals.intervals;
    if (!header.empty()) {
        if (plan.reference)
            fail_on(dictionary_mismatch(header, *plan.reference));
        for (const sequence_dictionary& d : plan.intervals.dictionaries)
            fail_on(dictionary_mismatch(d, header));
        resolve_whole_names(intervals, header);
        fail_on(interval_mismatch(plan.intervals, intervals, header));
    }
    return shard_router(intervals, plan.pad);
}

std::vector<plan_region> plan_regions(const shard_plan& plan, const sequence_dictionary& header) {
    const sequence_dictionary& contigs =
        header.empty() && plan.reference ? *plan.reference : header;
    if (contigs.empty())
        throw std::invalid_argument("The plan needs the contigs' lengths: give a SAM file whose "
                                    "header has @SQ lines, or -O reference=FILE");
    const shard_router router = plan_routes(plan, contigs);
    std::vector<plan_region> regions;
    for (const contig_info& c : contigs.contigs())
        for (const shard_router::run& r : router.runs(c.name, c.length))
            regions.push_back({c.name, r.start, r.end, r.shard});
    return regions;
}

} // namespace shuffler
