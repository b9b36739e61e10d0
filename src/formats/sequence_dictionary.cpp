#include "formats/sequence_dictionary.hpp"

#include "core/decimal.hpp"
#include "formats/text_file.hpp"
#include "io/record_reader.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include <stdexcept>

namespace shuffler {

namespace {

constexpr std::int64_t largest_length = 0xFFFFFFFF; // positions are 32-bit

bool parse_length(std::string_view text, std::uint32_t& length, std::string& why) {
    std::int64_t value = 0;
    if (parse_decimal(text, 1, largest_length, value) != decimal_status::ok) {
        why = "length '" + std::string(text) + "' is not a decimal from 1 to 4294967295";
        return false;
    }
    length = std::uint32_t(value);
    return true;
}

bool add_contig(std::string_view name, std::uint32_t length, std::uint32_t line,
                sequence_dictionary& dictionary, std::string& why) {
    if (name.empty()) {
        why = "empty contig name";
        return false;
    }
    if (!dictionary.add(name, length, line)) {
        why = "contig " + std::string(name) + " is named twice (first on line " +
              std::to_string(dictionary.find(name)->line) + ")";
        return false;
    }
    return true;
}

std::string at_line(const contig_info& c) { return " (line " + std::to_string(c.line) + ")"; }

} // namespace

bool sequence_dictionary::add(std::string_view name, std::uint32_t length, std::uint32_t line) {
    if (!index_.emplace(std::string(name), contigs_.size()).second)
        return false;
    contigs_.push_back({std::string(name), length, line});
    return true;
}

const contig_info* sequence_dictionary::find(std::string_view name) const {
    const auto it = index_.find(name);
    return it == index_.end() ? nullptr : &contigs_[it->second];
}

bool add_sq_line(std::string_view line, std::uint32_t number, sequence_dictionary& dictionary,
                 std::string& why) {
    std::string_view rest = line, field, name, length;
    bool named = false, sized = false;
    next_field(rest, field); // "@SQ"
    while (next_field(rest, field)) {
        const std::string_view tag = field.substr(0, 3);
        if (tag != "SN:" && tag != "LN:")
            continue;
        // Which of two names or lengths is meant cannot be told: neither is taken.
        bool& seen = tag == "SN:" ? named : sized;
        if (seen) {
            why = "@SQ line with two " + std::string(tag.substr(0, 2)) + " fields";
            return false;
        }
        seen = true;
        (tag == "SN:" ? name : length) = field.substr(3);
    }
    if (!named || !sized) {
        why = std::string("@SQ line without ") + (named ? "LN" : "SN") + " field";
        return false;
    }
    std::uint32_t bases = 0;
    return parse_length(length, bases, why) && add_contig(name, bases, number, dictionary, why);
}

sequence_dictionary load_reference(const std::string& path) {
    const bool fai = boost::algorithm::ends_with(path, ".fai");
    if (!fai && !boost::algorithm::ends_with(path, ".dict"))
        throw std::invalid_argument("Invalid -O reference=" + path +
                                    ": expected a .fai index or a .dict sequence dictionary");
    sequence_dictionary dictionary(path, path);
    for_each_line(path, [&](std::string_view line, std::uint32_t number) {
        std::string why;
        bool ok = true;
        if (fai) {
            std::string_view rest = line, name, length;
            next_field(rest, name);
            std::uint32_t bases = 0;
            ok = next_field(rest, length) && parse_length(length, bases, why) &&
                 add_contig(name, bases, number, dictionary, why);
            if (!ok && why.empty())
                why = "expected a contig name and its length separated by a tab";
        } else if (line.substr(0, 4) == "@SQ\t") {
            ok = add_sq_line(line, number, dictionary, why);
        } else if (line.empty() || line[0] != '@') {
            ok = false;
            why = "a sequence dictionary holds only header lines starting with '@'";
        }
        if (!ok)
            throw record_error(path + ": line " + std::to_string(number) + ": " + why);
    });
    if (dictionary.empty())
        throw record_error(path + ": no contigs");
    return dictionary;
}

std::string dictionary_mismatch(const sequence_dictionary& checked,
                                const sequence_dictionary& reference) {
    const auto& ours = checked.contigs();
    const auto& theirs = reference.contigs();
    const std::string subject = checked.source() + ": ";
    for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
        const contig_info &a = ours[i], &b = theirs[i];
        const std::string line = "line " + std::to_string(a.line) + ": ";
        if (a.name != b.name)
            return subject + line + "contig " + a.name + " where " + reference.label() + " has " +
                   b.name + at_line(b) + ": the contigs differ in name or order";
        if (a.length != b.length)
            return subject + line + "contig " + a.name + " has length " +
                   std::to_string(a.length) + ", but " + std::to_string(b.length) + " in " +
                   reference.label() + at_line(b);
    }
    if (ours.size() > theirs.size())
        return subject + "line " + std::to_string(ours[theirs.size()].line) + ": contig " +
               ours[theirs.size()].name + " is not in " + reference.label() +
               ", which ends after " + std::to_string(theirs.size()) + " contigs";
    if (ours.size() < theirs.size())
        return subject + "contig " + theirs[ours.size()].name + " of " + reference.label() +
               at_line(theirs[ours.size()]) + " is missing: " + std::to_string(ours.size()) +
               " contigs here, " + std::to_string(theirs.size()) + " there";
    return {};
}

} // namespace shuffler
