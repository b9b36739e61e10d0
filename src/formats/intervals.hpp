#pragma once

#include "formats/sequence_dictionary.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace shuffler {

// The end of an interval that runs to its contig's end, past any position a line can have.
constexpr std::uint32_t whole_contig_end = 0xFFFFFFFFu;

// One interval of a shard as it was written: 0-based, start inclusive, end exclusive.
struct shard_interval {
    std::string contig;
    std::uint32_t start = 0;
    std::uint32_t end = whole_contig_end;
    // It runs to the contig's end (`end` is then whole_contig_end), which no length check
    // refuses; an end written as 4294967295 is a position like any other.
    bool to_contig_end = false;
    std::uint32_t shard = 0;
    std::uint32_t origin = 0; // where it was written: an index into interval_set::origins
    std::uint32_t line = 0;   // its line in that file; 0 when written in the option itself
    // When the item, whole, is also a contig name with colons ("HLA-A*01:01:01:01", read as
    // contig "HLA-A*01:01:01" at position 1): that name, taken instead once a dictionary has it.
    std::string whole_name;
};

// The intervals of every shard and where each was written.
struct interval_set {
    std::vector<shard_interval> intervals; // in the order written; on overlaps the first wins
    std::vector<std::string> origins;      // "-O s2", "targets.bed"
    std::vector<sequence_dictionary> dictionaries; // the @SQ lines of interval-list files

    // The subject of an error line about `interval`: "-O s2" or "targets.bed: line 4".
    std::string where(const shard_interval& interval) const;
};

// Reads one item: "chr1" (the whole contig), "chr2:100-200" (1-based, closed), "chr3:5+10" (10
// bases from 5), "chr3:5-" (to the contig's end), or any of them with the contig name in braces,
// "{HLA-A*01:01:01:01}:100-200", for names with colons. Without braces the last ':' starts the
// coordinates; only the contig NO_COOR (the unplaced reads) takes none. Positions and lengths are whole decimals from 1 to 2^32 - 1, and an end never
// lies before its start. Sets contig, start, end and whole_name of `interval`; on failure says
// why in `why` ("the end lies before the start").
bool parse_interval(std::string_view item, shard_interval& interval, std::string& why);

// Appends the comma-separated items of `text` to `set` for `shard`, written in the origin
// numbered `origin`. An item "@PATH" reads the intervals of the file PATH (see
// load_interval_file), which throws record_error for a file that cannot be read or a bad line.
// On the first bad item (an empty one too) stores it, quoted, and why it is bad in `bad_item`
// ("'chr1:5-4': the end lies before the start") and returns false, keeping what came before.
bool parse_interval_list(std::string_view text, std::uint32_t shard, std::uint32_t origin,
                         interval_set& set, std::string& bad_item);

// Reads the intervals of `shard` from the file `path`, by its name: "*.bed" is BED (0-based,
// half-open; columns after the third, and track, browser, '#' and blank lines are skipped);
// "*.interval_list" is a header of @HD/@SQ lines, then "contig start end strand name" lines
// (1-based, closed), whose contigs must be in its own @SQ lines (kept in set.dictionaries); any
// other file holds one item of parse_interval's syntax per line ('#' and blank lines skipped).
// Throws record_error "path: line N: reason" for a bad line and "path: reason" for a file that
// cannot be read or holds no interval.
void load_interval_file(const std::string& path, std::uint32_t shard, interval_set& set);

// How `interval` is written, 1-based and closed: "chr1:101-200", or "chr1" for a whole contig.
std::string interval_text(const shard_interval& interval);

// Takes the whole-name reading of every interval whose whole name `dictionary` has.
void resolve_whole_names(std::vector<shard_interval>& intervals,
                         const sequence_dictionary& dictionary);

// Empty when every interval lies on a contig of `dictionary` and within its length; otherwise
// the error line about the first that does not, with the interval's origin as its subject.
std::string interval_mismatch(const interval_set& set,
                              const std::vector<shard_interval>& intervals,
                              const sequence_dictionary& dictionary);

} // namespace shuffler
