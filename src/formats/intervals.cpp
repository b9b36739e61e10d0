#include "formats/intervals.hpp"

#include "core/decimal.hpp"

namespace shuffler {

namespace {

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
bool parse_range(std::string_view text, shard_interval& e, std::string& why) {
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
        e.to_contig_end = true;
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

bool valid_name(std::string_view name, std::string& why) {
    for (const char c : name) {
        if (c <= ' ' || c > '~') {
            why = "a contig name holds no spaces or control characters";
            return false;
        }
    }
    return true;
}

} // namespace

std::string interval_set::where(const shard_interval& interval) const {
    const std::string& origin = origins.at(interval.origin);
    return interval.line ? origin + ": line " + std::to_string(interval.line) : origin;
}

bool parse_interval(std::string_view item, shard_interval& e, std::string& why) {
    e.start = 0;
    e.end = whole_contig_end;
    e.to_contig_end = true;
    e.whole_name.clear();
    if (item.empty()) {
        why = "empty item";
        return false;
    }
    if (item[0] == '{') {
        const std::size_t close = item.find('}');
        if (close == std::string_view::npos) {
            why = "no '}' closes the contig name";
            return false;
        }
        const std::string_view name = item.substr(1, close - 1), rest = item.substr(close + 1);
        if (name.empty()) {
            why = "no contig name between the braces";
            return false;
        }
        if (!rest.empty() && rest[0] != ':') {
            why = "a ':' and the coordinates, or nothing, follow the braced contig name";
            return false;
        }
        e.to_contig_end = rest.empty();
        if (!valid_name(name, why) || (!rest.empty() && !parse_range(rest.substr(1), e, why)))
            return false;
        e.contig = name;
        return true;
    }
    const std::size_t colon = item.rfind(':');
    const std::string_view name = item.substr(0, colon);
    if (name.empty()) {
        why = "no contig name before the ':'";
        return false;
    }
    if (!valid_name(name, why))
        return false;
    if (colon != std::string_view::npos) {
        // NO_COOR names the unplaced reads as a whole: no coordinates. Any other name, N or
        // NO_C too, is a contig like any other.
        const bool no_coordinates = name == "NO_COOR";
        e.to_contig_end = no_coordinates;
        if (!no_coordinates && !parse_range(item.substr(colon + 1), e, why)) {
            if (why.find("is not a position") != std::string::npos)
                why += "; write a contig name with colons in braces, as {HLA-A*01:01}:1-100";
            return false;
        }
        e.whole_name = item; // a header may still name the whole item as one contig
    }
    e.contig = name;
    return true;
}

bool parse_interval_list(std::string_view text, std::uint32_t shard, std::uint32_t origin,
                         interval_set& set, std::string& bad_item) {
    std::string_view previous; // the item before, when it had coordinates
    for (std::size_t at = 0;;) {
        const std::size_t comma = text.find(',', at);
        const std::string_view item = text.substr(at, comma - at);
        if (!previous.empty() && item.find(':') == std::string_view::npos &&
            looks_like_digit_group(item)) {
            bad_item = "'" + std::string(previous) + "," + std::string(item) +
                       "': commas separate intervals; write positions without them";
            return false;
        }
        if (item == "@") {
            bad_item = "'@': no file name after the '@'";
            return false;
        }
        if (!item.empty() && item[0] == '@') {
            load_interval_file(std::string(item.substr(1)), shard, set);
        } else {
            shard_interval e;
            std::string why;
            if (!parse_interval(item, e, why)) {
                bad_item = "'" + std::string(item) + "': " + why;
                return false;
            }
            e.shard = shard;
            e.origin = origin;
            set.intervals.push_back(std::move(e));
        }
        if (comma == std::string_view::npos)
            return true;
        previous = item.find(':') != std::string_view::npos ? item : std::string_view();
        at = comma + 1;
    }
}

std::string interval_text(const shard_interval& e) {
    const std::string name =
        e.contig.find(':') == std::string::npos ? e.contig : "{" + e.contig + "}";
    if (e.start == 0 && e.to_contig_end)
        return name;
    return name + ":" + std::to_string(std::uint64_t(e.start) + 1) + "-" +
           (e.to_contig_end ? std::string() : std::to_string(e.end));
}

void resolve_whole_names(std::vector<shard_interval>& intervals,
                         const sequence_dictionary& dictionary) {
    for (shard_interval& e : intervals) {
        if (!e.whole_name.empty() && dictionary.find(e.whole_name)) {
            e.contig = std::move(e.whole_name);
            e.start = 0;
            e.end = whole_contig_end;
            e.to_contig_end = true;
        }
        e.whole_name.clear(); // settled either way
    }
}

std::string interval_mismatch(const interval_set& set,
                              const std::vector<shard_interval>& intervals,
                              const sequence_dictionary& dictionary) {
    for (const shard_interval& e : intervals) {
        const contig_info* contig = dictionary.find(e.contig);
        if (!contig)
            return set.where(e) + ": contig " + e.contig + " is not in " + dictionary.label();
        if (e.start >= contig->length || (!e.to_contig_end && e.end > contig->length))
            return set.where(e) + ": interval " + interval_text(e) + " runs past the end of " +
                   e.contig + ", " + std::to_string(contig->length) + " bases long in " +
                   dictionary.label() + " (line " + std::to_string(contig->line) + ")";
    }
    return {};
}

} // namespace shuffler
