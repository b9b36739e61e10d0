#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace shuffler {

// One contig of a sequence dictionary.
struct contig_info {
    std::string name;
    std::uint32_t length; // bases, 1 to 4294967295
    std::uint32_t line;   // the line that names it in its file
};

// Contig names and lengths in their order: the @SQ lines of a SAM header or an interval list, a
// .fai index or a .dict file.
class sequence_dictionary {
public:
    // `source` is the file as error lines name it ("in.sam", "ref.fai"), `label` what a message
    // about another file calls it ("the header of in.sam").
    sequence_dictionary(std::string source, std::string label)
        : source_(std::move(source)), label_(std::move(label)) {}

    // Appends a contig; false (and nothing added) when the name is there already.
    bool add(std::string_view name, std::uint32_t length, std::uint32_t line);
    const contig_info* find(std::string_view name) const;
    const std::vector<contig_info>& contigs() const { return contigs_; }
    bool empty() const { return contigs_.empty(); }
    const std::string& source() const { return source_; }
    const std::string& label() const { return label_; }

private:
    std::string source_, label_;
    std::vector<contig_info> contigs_;
    std::map<std::string, std::size_t, std::less<>> index_; // name to its place in contigs_
};

// Reads the SN and LN fields of the @SQ line `line` (from "@SQ" on, without its line feed) and
// adds that contig to `dictionary`. Returns false with the reason in `why` when a field is
// missing, given twice or malformed, or the name is there already.
bool add_sq_line(std::string_view line, std::uint32_t number, sequence_dictionary& dictionary,
                 std::string& why);

// Reads a reference's dictionary from a .fai index (name and length in the first two fields
// of each line) or a .dict sequence dictionary (@SQ lines), told apart by the name. Throws
// record_error "path: line N: reason" for a malformed line, "path: reason" for a file that
// cannot be read, and std::invalid_argument for a name that is neither.
sequence_dictionary load_reference(const std::string& path);

// Empty when `checked` has the contigs of `reference`, with the same names in the same order
// and the same lengths; otherwise the error line about the first difference, with `checked`'s
// source as its subject.
std::string dictionary_mismatch(const sequence_dictionary& checked,
                                const sequence_dictionary& reference);

} // namespace shuffler
