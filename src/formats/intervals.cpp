#include "formats/intervals.hpp"

#include "core/decimal.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace shuffler {

namespace {

std::uint64_t key_identity(const std::string& key) {
    return std::uint64_t(reinterpret_cast<std::uintptr_t>(&key));
}

constexpr std::int64_t largest_position = 0xFFFFFFFF; // positions are 32-bit, 1-based

// One number of a range, from 1 to 2^32 - 1: a position, or the length after a '+'. `why` says
// what is wrong with it otherwise.
bool parse_number(std::string_view text, const char* what, std::int64_t& value, std::string& why) {
    // A sign is never part of a position: "1--5" and "-5" are mistakes, not negative numbers.
    const decimal_status status = !text.empty() && text[0] == '-'
                                      ? decimal_status::not_a_number
                                      : parse_decimal(text, 1, largest_position, value);
    if (text.empty())
        why = std::string("no ") + what;
    else if (status == decimal_status::not_a_number)
        why = "'" + std::string(text) + "' is not a " + what;
    else if (status == decimal_status::out_of_range)
        why = std::string(what) + " " + std::string(text) + " is not within 1 to 4294967295";
    return status == decimal_status::ok;
}

// Reads "a", "a-", "a-b" or "a+b" (1-based, closed) into [start, end).
bool parse_range(std::string_view text, interval_entry& e, std::string& why) {
    const std::size_t sep = text.find_first_of("-+", 1);
    std::int64_t a = 0, b = 0;
    if (!parse_number(text.substr(0, sep), "position", a, why))
        return false;
    e.start = std::uint32_t(a - 1);
    e.end = std::uint32_t(a);
    if (sep == std::string_view::npos)
        return true;
    const std::string_view rest = text.substr(sep + 1);
    if (text[sep] == '-' && rest.empty()) {
        e.end = whole_contig_end; // "a-": to the contig's end
        return true;
    }
    if (!parse_number(rest, text[sep] == '-' ? "position" : "length", b, why))
        return false;
    if (text[sep] == '-') {
        if (b < a) {
            why = "the end lies before the start";
            return false;
        }
        e.end = std::uint32_t(b);
        return true;
    }
    if (a - 1 + b > largest_position) {
        why = "the interval runs past position 4294967295";
        return false;
    }
    e.end = std::uint32_t(a - 1 + b);
    return true;
}

// True for the rest of a position cut at a thousands separator ("000", "000-2", "500+1"): the
// commas of "chr1:1,000-2,000" would otherwise make contigs "000-2" and "000" out of it.
bool looks_like_digit_group(std::string_view item) {
    if (item.size() < 3 || item.find_first_not_of("0123456789") < 3)
        return false;
    const std::size_t sep = item.find_first_of("-+");
    return item.substr(0, sep).size() == 3 &&
           item.find_first_not_of("0123456789-+") == std::string_view::npos;
}

bool parse_item(char* item, shard_map& map, std::string& why) {
    interval_entry e{0, 0, whole_contig_end};
    char* colon = std::strrchr(item, ':');
    const std::size_t name_length = colon ? std::size_t(colon - item) : std::strlen(item);
    if (name_length == 0) {
        why = *item ? "no contig name before the ':'" : "empty item";
        return false;
    }
    for (const char* c = item; c < item + name_length; ++c) {
        if (*c <= ' ' || *c > '~') {
            why = "a contig name holds no spaces or control characters";
            return false;
        }
    }
    if (colon) {
        // NO_COOR and its prefixes name the unplaced reads as a whole: no coordinates.
        const bool no_coordinates =
            std::strncmp(item, "NO_COOR", std::min<std::size_t>(name_length, 8)) == 0;
        if (!no_coordinates && !parse_range(colon + 1, e, why))
            return false;
        *colon = '\0';
    }
    auto it = map.try_emplace(item).first;
    e.tag = key_identity(it->first);
    it->second.push_back(e);
    return true;
}

} // namespace

bool parse_interval_list(char* text, shard_map& map, std::string& bad_item) {
    char* item = text;
    std::string previous; // the item before, when it had coordinates
    for (;;) {
        char* comma = std::strchr(item, ',');
        if (comma)
            *comma = '\0';
        const std::string whole = item;
        std::string why;
        if (!previous.empty() && !std::strchr(item, ':') && looks_like_digit_group(item)) {
            bad_item = "'" + previous + "," + whole +
                       "': commas separate intervals; write positions without them";
            return false;
        }
        if (!parse_item(item, map, why)) {
            bad_item = "'" + whole + "': " + why;
            return false;
        }
        if (!comma)
            return true;
        previous = std::strchr(whole.c_str(), ':') ? whole : std::string();
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
