// The router of SAM alignments: home shards by binary search with the first interval winning
// overlaps, copies to shards within the pad, and the plan's cut into equal shards and its checks
// at the end of the header.

#include "formats/shard_router.hpp"

#include "formats/shard_plan.hpp"
#include "io/record_reader.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace shuffler;

namespace {

// Intervals of shards 1, 2, ... from their interval lists, in that order.
std::vector<shard_interval> intervals_of(const std::vector<std::string>& lists) {
    interval_set set;
    set.origins.push_back("test");
    for (std::size_t k = 0; k < lists.size(); ++k) {
        std::string bad;
        EXPECT_TRUE(parse_interval_list(lists[k], std::uint32_t(k + 1), 0, set, bad)) << bad;
    }
    return set.intervals;
}

// The home shard of each position, the way a linear scan of the intervals in order finds it.
std::uint32_t scan(const std::vector<shard_interval>& intervals, const std::string& contig,
                   std::uint32_t position) {
    for (const shard_interval& e : intervals)
        if (e.contig == contig && e.start <= position - 1 && position - 1 < e.end)
            return e.shard;
    return 0;
}

TEST(ShardRouter, HomeIsTheFirstIntervalHoldingThePosition) {
    // Nested, overlapping, touching and whole-contig intervals over several shards.
    const std::vector<shard_interval> intervals =
        intervals_of({"chr1:100-200,chr2:50-60", "chr1:150-300,chr1:1-10", "chr1:120-130,chr3",
                      "chr1:301-400,chr1:5-", "chr2:55-70,chr2:1-1"});
    shard_router router(intervals, 0);
    for (const char* contig : {"chr1", "chr2", "chr3", "chr4", "chr1", "chr2"}) {
        for (std::uint32_t position : {0u, 1u, 4u, 5u, 9u, 10u, 11u, 50u, 54u, 55u, 60u, 61u, 70u,
                                       71u, 99u, 100u, 120u, 130u, 149u, 150u, 200u, 201u, 300u,
                                       301u, 400u, 401u, 100000u, 4294967295u})
            EXPECT_EQ(router.home(contig, position), scan(intervals, contig, position))
                << contig << ":" << position;
    }
}

TEST(ShardRouter, CopiesGoToOtherShardsWithinThePad) {
    // chr1: shard 1 holds 1-1000, shard 2 holds 1001-2000, shard 3 holds 2101-2200.
    shard_router router(intervals_of({"chr1:1-1000", "chr1:1001-2000", "chr1:2101-2200"}), 10);
    std::vector<std::uint32_t> out;
    const auto copies = [&](std::uint32_t first, std::uint32_t last) {
        const std::uint32_t home = router.home("chr1", first);
        router.copies(first, last, home, out);
        return std::make_pair(home, out);
    };
    using result = std::pair<std::uint32_t, std::vector<std::uint32_t>>;
    EXPECT_EQ(copies(500, 600), result(1, {}));
    EXPECT_EQ(copies(900, 990), result(1, {})); // 11 bases short of shard 2
    EXPECT_EQ(copies(900, 991), result(1, {2}));
    EXPECT_EQ(copies(995, 1005), result(1, {2}));
    EXPECT_EQ(copies(1011, 1100), result(2, {})); // 11 bases past shard 1
    EXPECT_EQ(copies(1010, 1100), result(2, {1}));
    EXPECT_EQ(copies(2005, 2095), result(0, {2, 3})); // between shards: copies only
    EXPECT_EQ(copies(2211, 2300), result(0, {}));
    EXPECT_EQ(copies(1, 5000), result(1, {2, 3}));
    router.home("chr2", 5);
    router.copies(5, 10, 0, out);
    EXPECT_TRUE(out.empty());
}

shard_plan plan_of(const option_map& options) { return parse_shard_options(options, 1024); }

sequence_dictionary header_of(const std::vector<std::pair<std::string, std::uint32_t>>& contigs) {
    sequence_dictionary header("in.sam", "the header of in.sam");
    std::uint32_t line = 1;
    for (const auto& [name, length] : contigs)
        header.add(name, length, ++line);
    return header;
}

TEST(ShardPlan, EqualShardsCutTheGenomeInHeaderOrder) {
    // 1000 + 600 + 400 bases in 4 shards of 500: chr1 is split, chr2 crosses into shard 3.
    shard_router router = plan_routes(plan_of({{"shards", "4"}}),
                                      header_of({{"chr1", 1000}, {"chr2", 600}, {"chr3", 400}}));
    const std::map<std::pair<std::string, std::uint32_t>, std::uint32_t> expected = {
        {{"chr1", 1}, 1},   {{"chr1", 500}, 1}, {{"chr1", 501}, 2}, {{"chr1", 1000}, 2},
        {{"chr2", 1}, 3},   {{"chr2", 500}, 3}, {{"chr2", 501}, 4}, {{"chr2", 600}, 4},
        {{"chr3", 1}, 4},   {{"chr3", 400}, 4}, {{"chr3", 401}, 0}, {{"*", 0}, 0},
        {{"chrX", 1}, 0},
    };
    for (const auto& [where, shard] : expected)
        EXPECT_EQ(router.home(where.first, where.second), shard)
            << where.first << ":" << where.second;
    // Uneven: 7 bases in 3 shards of 2, 2 and 3 bases; more shards than bases leaves some empty.
    shard_router small = plan_routes(plan_of({{"shards", "3"}}), header_of({{"c", 7}}));
    std::vector<std::uint32_t> homes;
    for (std::uint32_t p = 1; p <= 7; ++p)
        homes.push_back(small.home("c", p));
    EXPECT_EQ(homes, (std::vector<std::uint32_t>{1, 1, 2, 2, 3, 3, 3}));
    shard_router tiny = plan_routes(plan_of({{"shards", "5"}}), header_of({{"c", 2}}));
    EXPECT_EQ(tiny.home("c", 1), 3u);
    EXPECT_EQ(tiny.home("c", 2), 5u);
}

// What plan_routes throws for `options` at the end of `header`, or "".
std::string header_error(const option_map& options, const sequence_dictionary& header) {
    try {
        plan_routes(plan_of(options), header);
    } catch (const record_error& e) {
        return e.what();
    }
    return "";
}

TEST(ShardPlan, ShardsAreCheckedAgainstTheHeader) {
    const sequence_dictionary header = header_of({{"chr1", 1000}, {"HLA-A*01:01:01:01", 3000}});
    const sequence_dictionary none = header_of({});
    const std::pair<option_map, std::string> cases[] = {
        {{{"s1", "chr1:1-1000,HLA-A*01:01:01:01"}}, ""},
        {{{"s1", "chr1"}, {"s2", "chrX"}}, "-O s2: contig chrX is not in the header of in.sam"},
        {{{"s1", "chr1:900-1001"}},
         "-O s1: interval chr1:900-1001 runs past the end of chr1, 1000 bases long in the "
         "header of in.sam (line 2)"},
        {{{"shards", "3"}}, ""},
    };
    for (const auto& [options, error] : cases) {
        EXPECT_EQ(header_error(options, header), error);
        // Without @SQ lines nothing is checked, and equal shards cannot be cut.
        EXPECT_EQ(header_error(options, none),
                  options.count("shards")
                      ? "-O shards=3: the header of in.sam has no @SQ lines to cut into shards"
                      : "");
    }
}

} // namespace
