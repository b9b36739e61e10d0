#include "formats/intervals.hpp"
#include "formats/shard_router.hpp"

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace shuffler;

namespace {

constexpr std::uint32_t all = whole_contig_end;

using entry = std::tuple<std::string, std::uint32_t, std::uint32_t>; // contig, start, end

struct parse_case {
    const char* text;
    const char* bad;            // the start of what bad_item says, or null when all parse
    std::vector<entry> entries; // what the map holds afterwards
};

const parse_case cases[] = {
    {"chr1,chr2:1-1000", nullptr, {{"chr1", 0, all}, {"chr2", 0, 1000}}},
    {"chr1:100", nullptr, {{"chr1", 99, 100}}},
    {"chr1:100+10", nullptr, {{"chr1", 99, 109}}},
    {"chr1:10-10", nullptr, {{"chr1", 9, 10}}},
    {"chr1:5-", nullptr, {{"chr1", 4, all}}},
    {"chr1:20-30,chr1:1-5", nullptr, {{"chr1", 19, 30}, {"chr1", 0, 5}}},
    {"chr2,chr1:7", nullptr, {{"chr2", 0, all}, {"chr1", 6, 7}}},
    {"chr1:1-4294967295,chr2:4294967295", nullptr, {{"chr1", 0, all}, {"chr2", 4294967294, all}}},
    {"chr1:4294967290+6", nullptr, {{"chr1", 4294967289, all}}},
    // Decimal whatever the leading zeros: not octal.
    {"chr1:010-020", nullptr, {{"chr1", 9, 20}}},
    // The last ':' separates the coordinates, so contig names may hold colons; in braces they
    // may end in what looks like a position.
    {"HLA:A:1-10", nullptr, {{"HLA:A", 0, 10}}},
    {"{HLA-A*01:01:01:01}", nullptr, {{"HLA-A*01:01:01:01", 0, all}}},
    {"{HLA-A*01:01:01:01}:100-200,{chr1}:5+2", nullptr,
     {{"HLA-A*01:01:01:01", 99, 200}, {"chr1", 4, 6}}},
    {"{chr1", "'{chr1': no '}' closes the contig name", {}},
    {"{}:1-5", "'{}:1-5': no contig name between the braces", {}},
    {"{chr1}5", "'{chr1}5': a ':' and the coordinates, or nothing, follow", {}},
    {"{chr1}:0", "'{chr1}:0': position 0 is not within", {}},
    {"{chr 1}", "'{chr 1}': a contig name holds no spaces", {}},
    {"HLA-A*01:11N", "'HLA-A*01:11N': '11N' is not a position; write a contig name with colons in "
                     "braces", {}},
    // NO_COOR takes the whole contig without reading coordinates; a contig named like a part
    // of it (N, NO_C) is a contig like any other, whose coordinates count.
    {"NO_COOR:5-9", nullptr, {{"NO_COOR", 0, all}}},
    {"N:100-200,NO:5,NO_COO:7-8", nullptr, {{"N", 99, 200}, {"NO", 4, 5}, {"NO_COO", 6, 8}}},
    {"NO_C:junk", "'NO_C:junk': 'junk' is not a position", {}},
    {"NO_COORD:5-9", nullptr, {{"NO_COORD", 4, 9}}},
    // Plain numbers are contig names; only digit groups right after coordinates are suspect.
    {"1,2,100", nullptr, {{"1", 0, all}, {"2", 0, all}, {"100", 0, all}}},
    {"chr1:5,1000", nullptr, {{"chr1", 4, 5}, {"1000", 0, all}}},
    // A bad item stops the parse; what came before it stays.
    {"chr1:0-10", "'chr1:0-10': position 0 is not within 1 to 4294967295", {}},
    {"chr1:10-5", "'chr1:10-5': the end lies before the start", {}},
    {"chr1:10-9", "'chr1:10-9': the end lies before the start", {}},
    {"chr1:5x7", "'chr1:5x7': '5x7' is not a position", {}},
    {"chr1:5-10xyz", "'chr1:5-10xyz': '10xyz' is not a position", {}},
    {"chr1:abc", "'chr1:abc': 'abc' is not a position", {}},
    {"chr1:", "'chr1:': no position", {}},
    {"chr1: 5", "'chr1: 5': ' 5' is not a position", {}},
    // Signs and 32-bit overflow never wrap into another interval.
    {"chr1:-5", "'chr1:-5': '-5' is not a position", {}},
    {"chr1:1--5", "'chr1:1--5': '-5' is not a position", {}},
    {"chr1:+5", "'chr1:+5': '+5' is not a position", {}},
    {"chr1:1-4294967396", "'chr1:1-4294967396': position 4294967396 is not within", {}},
    {"chr1:4294967296", "'chr1:4294967296': position 4294967296 is not within", {}},
    {"chr1:5+0", "'chr1:5+0': length 0 is not within", {}},
    {"chr1:4294967295+2", "'chr1:4294967295+2': the interval runs past", {}},
    {"chr1:1-99999999999999999999999", "'chr1:1-99999999999999999999999': position", {}},
    // Thousands separators would otherwise be taken for the commas between items.
    {"chr1:1,000-2,000", "'chr1:1,000-2': commas separate intervals", {{"chr1", 0, 1}}},
    {"chr1:1,000", "'chr1:1,000': commas separate intervals", {{"chr1", 0, 1}}},
    // Items that add nothing are mistakes too.
    {"", "'': empty item", {}},
    {"chr1,,chr2", "'': empty item", {{"chr1", 0, all}}},
    {"chr1,", "'': empty item", {{"chr1", 0, all}}},
    {":5-9", "':5-9': no contig name", {}},
    {"chr1,@", "'@': no file name after the '@'", {{"chr1", 0, all}}},
    {"chr1 ,chr2", "'chr1 ': a contig name holds no spaces", {}},
    {"chr2:1-5,chrX,chr1:0-10,chr3", "'chr1:0-10'", {{"chr2", 0, 5}, {"chrX", 0, all}}},
};

TEST(IntervalList, ParsesItemsIntoZeroBasedHalfOpenIntervals) {
    for (const parse_case& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        interval_set set;
        std::string bad;
        EXPECT_EQ(parse_interval_list(c.text, 3, 0, set, bad), c.bad == nullptr);
        if (c.bad)
            EXPECT_EQ(bad.rfind(c.bad, 0), 0u) << bad;
        else
            EXPECT_EQ(bad, "");
        std::vector<entry> entries;
        for (const shard_interval& e : set.intervals) {
            entries.push_back({e.contig, e.start, e.end});
            EXPECT_EQ(e.shard, 3u);
        }
        EXPECT_EQ(entries, c.entries);
    }
}

// A name with colons and no braces reads as coordinates until a dictionary names it whole.
TEST(IntervalList, WholeItemThatADictionaryNamesIsThatContig) {
    interval_set set;
    std::string bad;
    ASSERT_TRUE(parse_interval_list("HLA-A*01:01:01:01,HLA-B*07:02:01:01,chr1:5,chr2", 1, 0, set,
                                    bad));
    EXPECT_EQ(set.intervals[0].contig, "HLA-A*01:01:01");
    EXPECT_EQ(set.intervals[0].start, 0u);
    sequence_dictionary header("in.sam", "the header of in.sam");
    header.add("HLA-A*01:01:01:01", 3503, 2);
    header.add("chr1", 1000, 3);
    resolve_whole_names(set.intervals, header);
    std::vector<entry> entries;
    for (const shard_interval& e : set.intervals)
        entries.push_back({e.contig, e.start, e.end});
    EXPECT_EQ(entries, (std::vector<entry>{{"HLA-A*01:01:01:01", 0, all},
                                           {"HLA-B*07:02:01", 0, 1},
                                           {"chr1", 4, 5},
                                           {"chr2", 0, all}}));
    EXPECT_EQ(interval_text(set.intervals[0]), "{HLA-A*01:01:01:01}");
    EXPECT_EQ(interval_text(set.intervals[1]), "{HLA-B*07:02:01}:1-1");
    EXPECT_EQ(interval_text(set.intervals[2]), "chr1:5-5");
}

// An end written as 4294967295 is a position, not "to the contig's end": it is written back as
// given and checked against the contig's length.
TEST(IntervalList, LargestEndIsAPositionNotTheContigsEnd) {
    interval_set set;
    set.origins.push_back("-O s1");
    std::string bad;
    ASSERT_TRUE(parse_interval_list("chr1:1-4294967295,chr1:5-,chr2,NO_COOR:1-2", 1, 0, set, bad));
    EXPECT_EQ(interval_text(set.intervals[0]), "chr1:1-4294967295");
    EXPECT_EQ(interval_text(set.intervals[1]), "chr1:5-");
    EXPECT_EQ(interval_text(set.intervals[2]), "chr2");
    EXPECT_EQ(interval_text(set.intervals[3]), "NO_COOR");
    sequence_dictionary header("in.sam", "the header of in.sam");
    header.add("chr1", 1000, 2);
    header.add("chr2", 500, 3);
    header.add("NO_COOR", 10, 4);
    EXPECT_EQ(interval_mismatch(set, set.intervals, header),
              "-O s1: interval chr1:1-4294967295 runs past the end of chr1, 1000 bases long in "
              "the header of in.sam (line 2)");
    set.intervals.erase(set.intervals.begin());
    EXPECT_EQ(interval_mismatch(set, set.intervals, header), "");
}

// A contig named N keeps its interval: only the lines inside it go to its shard.
TEST(IntervalList, ShortContigNameRoutesByItsCoordinates) {
    interval_set set;
    std::string bad;
    ASSERT_TRUE(parse_interval_list("N:100-200", 1, 0, set, bad));
    shard_router router(set.intervals, 0);
    EXPECT_EQ(router.home("N", 50), 0u);
    EXPECT_EQ(router.home("N", 150), 1u);
    EXPECT_EQ(router.home("N", 900), 0u);
}

} // namespace
