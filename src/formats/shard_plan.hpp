#pragma once

#include "formats/format_options.hpp"
#include "formats/intervals.hpp"
#include "formats/sequence_dictionary.hpp"
#include "formats/shard_router.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace shuffler {

// The shards of SAM input as the command line gives them, read and checked before any input.
struct shard_plan {
    interval_set intervals;          // -O s<k>=INTERVALS, key by key in the keys' byte order
    std::uint32_t max_shard = 0;     // the highest shard number: groups 0 to max_shard get messages
    std::uint32_t equal_shards = 0;  // -O shards=N: N equal pieces of the header's genome; else 0
    std::uint32_t pad = 0;           // -O pad=B: copies go to shards up to B bases away
    std::optional<sequence_dictionary> reference; // -O reference=PATH
};

// True for the -O keys that name a shard: 's' followed by a digit.
bool is_shard_key(const std::string& key);

// True for every -O key of SAM input: the shard keys, shards, pad and reference.
bool is_sam_key(const std::string& key);

// Builds the shards from the SAM keys of `options` (other keys are not looked at), reading the
// interval files and the reference they name and checking the intervals against the reference.
// Throws std::invalid_argument, with the whole error line, for a mistake in the options: a shard
// number that is not a decimal from 1 to min(max_groups - 1, 65535), two keys naming one shard
// ("s01", "s1"), an empty or malformed interval list, shards=N with shard keys or out of that
// range, a bad pad, a reference that is no .fai or .dict, or no shard at all. Throws
// record_error for a file that cannot be read, a malformed line in one, or an interval or
// interval-list dictionary that does not match the reference.
shard_plan parse_shard_options(const option_map& options, std::size_t max_groups);

// At the end of the SAM header, whose @SQ lines are `header` (empty when there are none): checks
// the header against the reference, the interval lists' dictionaries and every interval against
// the header, cuts the equal shards, and returns the router of the alignment lines. Throws
// record_error, naming what differs, on a mismatch or for shards=N without @SQ lines.
shard_router plan_routes(const shard_plan& plan, const sequence_dictionary& header);

// One line of the printed plan: bases [start, end) of a contig, 0-based as in BED, and the group
// that alignments starting there go to (0: outside every shard).
struct plan_region {
    std::string contig;
    std::uint32_t start, end, shard;
};

// Every base of the contigs of `header` (or of the reference when the header has none), in their
// order, cut into the fewest regions of one group each: what each shard's own tools should cover.
// Checks as plan_routes does, and throws std::invalid_argument when neither has a contig.
std::vector<plan_region> plan_regions(const shard_plan& plan, const sequence_dictionary& header);

} // namespace shuffler
