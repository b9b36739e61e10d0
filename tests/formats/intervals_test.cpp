#include "formats/intervals.hpp"

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
    const char* bad;            // the item the parse stops at, or null when all parse
    std::vector<entry> entries; // what the map holds afterwards
};

const parse_case cases[] = {
    {"chr1,chr2:1-1000", nullptr, {{"chr1", 0, all}, {"chr2", 0, 1000}}},
    {"chr1:100", nullptr, {{"chr1", 99, 100}}},
    {"chr1:100+10", nullptr, {{"chr1", 99, 109}}},
    {"chr1:10-9", nullptr, {{"chr1", 9, 9}}}, // empty, but not reversed
    {"chr1:5-", nullptr, {{"chr1", 4, all}}},
    {"chr1:20-30,chr1:1-5", nullptr, {{"chr1", 19, 30}, {"chr1", 0, 5}}},
    {"chr2,chr1:7", nullptr, {{"chr1", 6, 7}, {"chr2", 0, all}}},
    // The last ':' separates the coordinates, so contig names may hold colons.
    {"HLA:A:1-10", nullptr, {{"HLA:A", 0, 10}}},
    // NO_COOR and its prefixes take the whole contig without reading coordinates.
    {"NO_COOR:5-9", nullptr, {{"NO_COOR", 0, all}}},
    {"NO_C:junk", nullptr, {{"NO_C", 0, all}}},
    {"NO_COORD:5-9", nullptr, {{"NO_COORD", 4, 9}}},
    {":5-9", nullptr, {}},
    {"", nullptr, {}},
    // A bad item stops the parse; what came before it stays.
    {"chr1:0-10", "chr1:0-10", {}},
    {"chr1:10-5", "chr1:10-5", {}},
    {"chr1:5x7", "chr1:5x7", {}},
    {"chr1:", "chr1:", {}},
    {"chr1:4294967295+2", "chr1:4294967295+2", {}}, // the end wraps below the start
    {"chr2:1-5,chrX,chr1:0-10,chr3", "chr1:0-10", {{"chr2", 0, 5}, {"chrX", 0, all}}},
};

TEST(IntervalList, ParsesItemsIntoZeroBasedHalfOpenIntervals) {
    for (const parse_case& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        shard_map map;
        std::string text = c.text;
        std::string bad;
        EXPECT_EQ(parse_interval_list(text.data(), map, bad), c.bad == nullptr);
        EXPECT_EQ(bad, c.bad ? c.bad : "");
        // Contig by contig, each contig's entries in insertion order.
        std::vector<entry> entries;
        for (const auto& [contig, intervals] : map)
            for (const interval_entry& e : intervals)
                entries.push_back({contig, e.start, e.end});
        EXPECT_EQ(entries, c.entries);
    }
}

} // namespace
