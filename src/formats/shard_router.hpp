#pragma once

#include "formats/intervals.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace shuffler {

// Finds the shards of a SAM alignment: its home shard by start position, and with padding the
// other shards whose intervals it reaches. Each contig's intervals are cut once into sorted,
// disjoint segments, so a lookup is a binary search; sorted input asks for one contig many times
// in a row, so the last one looked up is kept at hand.
class shard_router {
public:
    // `intervals` in priority order: where several hold a position, the first one's shard has
    // it. `pad` widens every interval by that many bases on each side for copies().
    shard_router(const std::vector<shard_interval>& intervals, std::uint32_t pad);

    // The home shard of the 1-based `position` on `contig`: the shard of the first interval
    // that holds it, or 0 when none does (position 0 lies in none). Makes `contig` the one that
    // copies() works on.
    std::uint32_t home(std::string_view contig, std::uint32_t position);

    // Sets `out` to the shards other than `home` whose intervals, widened by the pad, overlap
    // the 1-based closed span [first, last] on the contig of the last home() call.
    void copies(std::uint64_t first, std::uint64_t last, std::uint32_t home,
                std::vector<std::uint32_t>& out);

    std::uint32_t pad() const { return pad_; }

    // Bases [start, end), 0-based, whose home is `shard` (0: no interval holds them).
    struct run {
        std::uint32_t start, end, shard;
    };
    // Every base of `contig`, `length` bases long, as the fewest runs of one home each, in order.
    std::vector<run> runs(std::string_view contig, std::uint32_t length) const;

private:
    // Bases [start, end) that the same intervals hold.
    struct segment {
        std::uint32_t start, end;
        std::uint32_t home;              // the shard of the first of them
        std::uint32_t covers, covers_end; // their shards, once each: covers_[covers, covers_end)
    };
    using segment_table = std::vector<segment>; // sorted by start, disjoint

    void add_contig(const std::vector<const shard_interval*>& intervals,
                    const std::vector<std::uint32_t>& rank, segment_table& table);

    std::map<std::string, segment_table, std::less<>> contigs_;
    std::vector<std::uint32_t> covers_; // the shard lists of every segment, one after another
    std::uint32_t pad_;
    std::string last_name_;               // the contig of the last home() call
    const segment_table* last_ = nullptr; // its segments, or null when no shard has it
    bool looked_up_ = false;              // whether last_name_ holds anything yet
    std::vector<std::uint64_t> seen_;     // per shard: the call that last took it
    std::uint64_t calls_ = 0;             // calls that collect shards, counted
};

} // namespace shuffler
