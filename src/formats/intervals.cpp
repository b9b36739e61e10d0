#include "formats/intervals.hpp"

#include <algorithm>
#include <cstring>

namespace shuffler {

namespace {

std::uint64_t key_identity(const std::string& key) {
    return std::uint64_t(reinterpret_cast<std::uintptr_t>(&key));
}

// Reads "a", "a-", "a-b" or "a+b" (1-based) into [start, end). False for anything else.
bool parse_range(const char* text, interval_entry& e) {
    unsigned a = 0, b = 0;
    char sep = 0;
    const int read = std::sscanf(text, "%u%c%u", &a, &sep, &b);
    if (read < 1 || a == 0)
        return false;
    if (read >= 2 && sep != '-' && sep != '+')
        return false;
    e.start = a - 1;
    if (read == 1)
        e.end = a;
    else if (read == 3)
        e.end = sep == '+' ? b + a - 1 : b;
    // "a-" alone keeps the default: to the contig's end.
    return e.end >= e.start;
}

bool parse_item(char* item, shard_map& map) {
    interval_entry e{0, 0, whole_contig_end};
    char* colon = std::strrchr(item, ':');
    if (colon) {
        const std::size_t name_length = std::size_t(colon - item);
        // NO_COOR and its prefixes (the empty name too) name the unplaced reads as a whole.
        const bool no_coordinates = std::strncmp(item, "NO_COOR", std::min<std::size_t>(name_length, 8)) == 0;
        if (!no_coordinates && !parse_range(colon + 1, e))
            return false;
        *colon = '\0';
    }
    if (*item == '\0')
        return true;
    auto it = map.try_emplace(item).first;
    e.tag = key_identity(it->first);
    it->second.push_back(e);
    return true;
}

} // namespace

bool parse_interval_list(char* text, shard_map& map, std::string& bad_item) {
    char* item = text;
    for (;;) {
        char* comma = std::strchr(item, ',');
        if (comma)
            *comma = '\0';
        if (!parse_item(item, map)) {
            bad_item = item;
            return false;
        }
        if (!comma)
            return true;
        item = comma + 1;
    }
}

void stamp_shard(shard_map& map, std::uint32_t shard) {
    for (auto& [name, entries] : map)
        for (interval_entry& e : entries)
            if (e.tag == key_identity(name))
                e.tag = shard;
}

} // namespace shuffler
