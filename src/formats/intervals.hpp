#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace shuffler {

// One genomic interval of a shard: 0-based, start inclusive, end exclusive.
struct interval_entry {
    std::uint64_t tag; // shard number, once the caller has stamped it (see stamp_shard)
    std::uint32_t start;
    std::uint32_t end; // whole_contig_end runs to the contig's end
};

constexpr std::uint32_t whole_contig_end = 0xFFFFFFFFu;

// Contig name to its intervals in insertion order. std::less<> lets lookups use a string_view
// into the input without copying the name.
using shard_map = std::map<std::string, std::vector<interval_entry>, std::less<>>;

// Parses "chr1,chr2:100-200,chr3:5+10,..." (1-based closed ranges; "chr3:5-" runs to the
// contig's end) into `map`. Positions and lengths are whole decimals from 1 to 2^32 - 1, and an
// end never lies before its start. On the first bad item (an empty one too) stores it, quoted,
// and why it is bad in `bad_item` ("'chr1:5-4': the end lies before the start") and returns
// false, keeping what came before. `text` is cut in place.
bool parse_interval_list(char* text, shard_map& map, std::string& bad_item);

// Gives every entry added since the last stamp (its tag still names its own contig) the shard
// number `shard`.
void stamp_shard(shard_map& map, std::uint32_t shard);

} // namespace shuffler
