// The interval file loaders: BED, interval lists with their own @SQ lines, and plain lists of
// interval items.

#include "core/decimal.hpp"
#include "formats/intervals.hpp"
#include "formats/text_file.hpp"
#include "io/record_reader.hpp"

#include <boost/algorithm/string/predicate.hpp>

namespace shuffler {

namespace {

// A failure of one line, as the loaders throw it.
struct bad_line {
    std::string why;
};

std::uint32_t parse_coordinate(std::string_view text, const char* what, std::int64_t min,
                               std::int64_t max) {
    std::int64_t value = 0;
    if (parse_decimal(text, min, max, value) != decimal_status::ok)
        throw bad_line{std::string(what) + " '" + std::string(text) + "' is not a decimal from " +
                       std::to_string(min) + " to " + std::to_string(max)};
    return std::uint32_t(value);
}

void check_name(std::string_view name) {
    shard_interval probe;
    std::string why;
    if (name.empty())
        throw bad_line{"no contig name"};
    // A name in braces is still one name: the braces let parse_interval take its colons.
    if (!parse_interval("{" + std::string(name) + "}", probe, why))
        throw bad_line{why};
}

// The words of a BED line, split at tabs or spaces: its columns after the third may be free text.
bool bed_field(std::string_view& rest, std::string_view& field) {
    const std::size_t from = rest.find_first_not_of(" \t");
    if (from == std::string_view::npos)
        return false;
    rest.remove_prefix(from);
    const std::size_t to = rest.find_first_of(" \t");
    field = rest.substr(0, to);
    rest.remove_prefix(to == std::string_view::npos ? rest.size() : to);
    return true;
}

bool starts_with_word(std::string_view line, std::string_view word) {
    return line.substr(0, word.size()) == word &&
           (line.size() == word.size() || line[word.size()] == ' ' || line[word.size()] == '\t');
}

void read_bed_line(std::string_view line, shard_interval& e) {
    std::string_view rest = line, contig, start, end;
    if (!bed_field(rest, contig) || !bed_field(rest, start) || !bed_field(rest, end))
        throw bad_line{"expected a contig, a start and an end"};
    check_name(contig);
    e.contig = contig;
    e.start = parse_coordinate(start, "start", 0, 0xFFFFFFFE);
    e.end = parse_coordinate(end, "end", 1, 0xFFFFFFFF);
    if (e.end <= e.start)
        throw bad_line{"the end " + std::string(end) + " does not lie after the start " +
                       std::string(start) + " (BED starts count from 0, ends are exclusive)"};
}

void read_interval_list_line(std::string_view line, const sequence_dictionary& dictionary,
                             shard_interval& e) {
    std::string_view rest = line, contig, start, end, strand, name;
    if (!next_field(rest, contig) || !next_field(rest, start) || !next_field(rest, end) ||
        !next_field(rest, strand) || !next_field(rest, name))
        throw bad_line{"expected contig, start, end, strand and name separated by tabs"};
    const contig_info* info = dictionary.find(contig);
    if (!info)
        throw bad_line{"contig " + std::string(contig) + " is not in the file's @SQ lines"};
    e.contig = contig;
    const std::uint32_t first = parse_coordinate(start, "start", 1, info->length);
    const std::uint32_t last = parse_coordinate(end, "end", 1, info->length);
    if (last < first)
        throw bad_line{"the end lies before the start"};
    e.start = first - 1;
    e.end = last;
    if (strand != "+" && strand != "-")
        throw bad_line{"strand '" + std::string(strand) + "' is not + or -"};
}

} // namespace

void load_interval_file(const std::string& path, std::uint32_t shard, interval_set& set) {
    enum { bed, interval_list, plain } kind = plain;
    if (boost::algorithm::ends_with(path, ".bed"))
        kind = bed;
    else if (boost::algorithm::ends_with(path, ".interval_list"))
        kind = interval_list;
    const std::uint32_t origin = std::uint32_t(set.origins.size());
    set.origins.push_back(path);
    sequence_dictionary dictionary(path, path);
    bool in_header = true; // an interval list's @ lines come first
    const std::size_t before = set.intervals.size();
    for_each_line(path, [&](std::string_view line, std::uint32_t number) {
        shard_interval e;
        e.shard = shard;
        e.origin = origin;
        e.line = number;
        try {
            if (kind == interval_list && !line.empty() && line[0] == '@') {
                std::string why;
                if (!in_header)
                    throw bad_line{"a header line after the intervals"};
                if (line.substr(0, 4) == "@SQ\t" && !add_sq_line(line, number, dictionary, why))
                    throw bad_line{why};
                return;
            }
            if (line.empty() || (kind != interval_list && line[0] == '#') ||
                (kind == bed && (starts_with_word(line, "track") ||
                                 starts_with_word(line, "browser"))))
                return;
            in_header = false;
            if (kind == bed) {
                read_bed_line(line, e);
            } else if (kind == interval_list) {
                read_interval_list_line(line, dictionary, e);
            } else {
                std::string why;
                if (!parse_interval(line, e, why))
                    throw bad_line{why};
            }
        } catch (const bad_line& bad) {
            throw record_error(path + ": line " + std::to_string(number) + ": " + bad.why);
        }
        set.intervals.push_back(std::move(e));
    });
    if (set.intervals.size() == before)
        throw record_error(path + ": no intervals");
    if (kind == interval_list)
        set.dictionaries.push_back(std::move(dictionary));
}

} // namespace shuffler
