#include "formats/shard_router.hpp"

#include <algorithm>
#include <set>
#include <utility>

namespace shuffler {

shard_router::shard_router(const std::vector<shard_interval>& intervals, std::uint32_t pad)
    : pad_(pad) {
    std::map<std::string_view, std::vector<const shard_interval*>> by_contig;
    std::uint32_t max_shard = 0;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        by_contig[intervals[i].contig].push_back(&intervals[i]);
        max_shard = std::max(max_shard, intervals[i].shard);
    }
    seen_.assign(std::size_t(max_shard) + 1, 0);
    for (const auto& [name, list] : by_contig) {
        std::vector<std::uint32_t> order(list.size());
        for (std::size_t i = 0; i < list.size(); ++i)
            order[i] = std::uint32_t(list[i] - intervals.data());
        add_contig(list, order, contigs_[std::string(name)]);
    }
}

// Sweeps the contig's interval boundaries left to right, keeping the intervals that hold the
// bases between two boundaries.
void shard_router::add_contig(const std::vector<const shard_interval*>& intervals,
                              const std::vector<std::uint32_t>& rank, segment_table& table) {
    std::vector<std::uint32_t> points;
    for (const shard_interval* e : intervals) {
        points.push_back(e->start);
        points.push_back(e->end);
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<std::size_t> by_start(intervals.size());
    for (std::size_t i = 0; i < by_start.size(); ++i)
        by_start[i] = i;
    std::sort(by_start.begin(), by_start.end(), [&](std::size_t a, std::size_t b) {
        return intervals[a]->start < intervals[b]->start;
    });
    std::set<std::pair<std::uint32_t, std::size_t>> active; // (rank, interval), first rank first
    std::multimap<std::uint32_t, std::size_t> ends;         // end to interval, of the active ones
    std::size_t next = 0;
    for (std::size_t p = 0; p + 1 < points.size(); ++p) {
        const std::uint32_t at = points[p];
        for (auto e = ends.begin(); e != ends.end() && e->first <= at; e = ends.erase(e))
            active.erase({rank[e->second], e->second});
        for (; next < by_start.size() && intervals[by_start[next]]->start <= at; ++next) {
            const std::size_t i = by_start[next];
            active.insert({rank[i], i});
            ends.emplace(intervals[i]->end, i);
        }
        if (active.empty())
            continue;
        segment s{at, points[p + 1], intervals[active.begin()->second]->shard, 0, 0};
        s.covers = std::uint32_t(covers_.size());
        if (pad_ > 0) {
            ++calls_;
            for (const auto& [r, i] : active) {
                const std::uint32_t shard = intervals[i]->shard;
                if (seen_[shard] != calls_) {
                    seen_[shard] = calls_;
                    covers_.push_back(shard);
                }
            }
        }
        s.covers_end = std::uint32_t(covers_.size());
        // Neighbours held by the same shards are one segment.
        if (!table.empty()) {
            segment& last = table.back();
            if (last.end == s.start && last.home == s.home &&
                std::equal(covers_.begin() + last.covers, covers_.begin() + last.covers_end,
                           covers_.begin() + s.covers, covers_.begin() + s.covers_end)) {
                last.end = s.end;
                covers_.resize(s.covers);
                continue;
            }
        }
        table.push_back(s);
    }
}

std::uint32_t shard_router::home(std::string_view contig, std::uint32_t position) {
    if (!looked_up_ || contig != last_name_) {
        const auto it = contigs_.find(contig);
        last_ = it == contigs_.end() ? nullptr : &it->second;
        last_name_.assign(contig.data(), contig.size());
        looked_up_ = true;
    }
    if (!last_)
        return 0;
    const std::uint32_t pos0 = position - 1; // position 0 wraps past every segment
    const auto after = std::upper_bound(
        last_->begin(), last_->end(), pos0,
        [](std::uint32_t p, const segment& s) { return p < s.start; });
    if (after == last_->begin())
        return 0;
    const segment& s = *std::prev(after);
    return pos0 < s.end ? s.home : 0;
}

void shard_router::copies(std::uint64_t first, std::uint64_t last, std::uint32_t home,
                          std::vector<std::uint32_t>& out) {
    out.clear();
    if (!last_)
        return;
    // The span, 0-based and half-open, widened instead of every interval.
    const std::uint64_t from = first > std::uint64_t(pad_) + 1 ? first - 1 - pad_ : 0;
    const std::uint64_t to = last + pad_;
    auto s = std::partition_point(last_->begin(), last_->end(),
                                  [&](const segment& x) { return x.end <= from; });
    ++calls_;
    seen_[home] = calls_;
    for (; s != last_->end() && s->start < to; ++s) {
        for (std::uint32_t c = s->covers; c < s->covers_end; ++c) {
            const std::uint32_t shard = covers_[c];
            if (seen_[shard] != calls_) {
                seen_[shard] = calls_;
                out.push_back(shard);
            }
        }
    }
}

std::vector<shard_router::run> shard_router::runs(std::string_view contig,
                                                   std::uint32_t length) const {
    std::vector<run> out;
    const auto add = [&out](std::uint32_t start, std::uint32_t end, std::uint32_t shard) {
        if (start >= end)
            return;
        if (!out.empty() && out.back().shard == shard) // segments may differ in copies only
            out.back().end = end;
        else
            out.push_back({start, end, shard});
    };
    std::uint32_t at = 0;
    if (const auto it = contigs_.find(contig); it != contigs_.end())
        for (const segment& s : it->second) {
            if (s.start >= length)
                break;
            add(at, s.start, 0);
            at = std::min(s.end, length); // a whole contig's segment ends past any length
            add(s.start, at, s.home);
        }
    add(at, length, 0);
    return out;
}

} // namespace shuffler
