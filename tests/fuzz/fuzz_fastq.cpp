// The FASTQ record reader on one file or a pair, read in lockstep as the dicer does. Whatever it
// accepts must be exactly the input, bytes in equal bytes out (the first record of each file
// tagged before any carriage return), with the sequence lengths a plain reading of the four-line
// format gives; and it must accept exactly what that reading accepts.
//
// Input: a flags byte (bit 0: a pair, then two bytes of split point; bit 1: tag the first
// records), then the file contents.

#include "formats/fastq.hpp"
#include "fuzz/fuzz_support.hpp"

#include <memory>
#include <string>
#include <vector>

using namespace shuffler;
using namespace shuffler_fuzz;

namespace {

// A plain reading of FASTQ: the sequence lengths of its records, or false for malformed text.
bool reference_read(const std::string& text, std::vector<std::size_t>& lengths) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t lf = text.find('\n', from);
        if (lf == std::string::npos)
            lf = text.size();
        lines.push_back(text.substr(from, lf - from));
        from = lf + 1;
    }
    if (lines.size() % 4 != 0)
        return false;
    const auto bases = [](const std::string& line) {
        const std::size_t kept = line.find_last_not_of('\r');
        return kept == std::string::npos ? 0 : kept + 1;
    };
    for (std::size_t i = 0; i < lines.size(); i += 4) {
        if (lines[i].empty() || lines[i][0] != '@' || lines[i + 2].empty() ||
            lines[i + 2][0] != '+' || bases(lines[i + 1]) != bases(lines[i + 3]))
            return false;
        lengths.push_back(bases(lines[i + 1]));
    }
    return true;
}

// `text` with `tag` at the end of its first line's name, before its carriage returns.
std::string tagged(std::string text, const std::string& tag) {
    const std::size_t lf = text.find('\n');
    if (lf == std::string::npos)
        return text;
    std::size_t name_end = lf;
    while (name_end > 1 && text[name_end - 1] == '\r')
        --name_end;
    return text.insert(name_end, tag);
}

// True when `reader` has nothing left to read.
bool at_end(record_reader& reader, const boost::asio::yield_context& yield) {
    if (reader.available == 0) {
        try {
            reader.fill(yield);
        } catch (const boost::system::system_error& e) {
            FUZZ_CHECK(e.code() == boost::asio::error::eof);
        }
    }
    return reader.available == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const bool paired = data[0] & 1, tag_first = data[0] & 2;
    std::size_t split = (std::size_t(data[1]) << 8 | data[2]);
    data += 3;
    size -= 3;
    struct file {
        const std::uint8_t* data;
        std::size_t size;
    };
    std::vector<file> files = {{data, size}};
    if (paired) {
        split %= size + 1;
        files = {{data, split}, {data + split, size - split}};
    }
    const std::size_t n = files.size();

    static boost::asio::io_context io;
    std::unique_ptr<record_reader> readers[2];
    std::vector<std::unique_ptr<byte_pipe>> pipes;
    for (std::size_t f = 0; f < n; ++f) {
        pipes.push_back(std::make_unique<byte_pipe>(files[f].data, files[f].size));
        readers[f] = open_reader(io, pipes[f]->take_reader(), "file" + std::to_string(f));
    }
    std::vector<block_chain> lists;
    for (std::size_t f = 0; f < n; ++f)
        lists.emplace_back(fuzz_pool());
    std::vector<std::vector<std::size_t>> lengths(n);
    std::string outcome;
    bool accepted = false;
    const tag_text tag = block_tag(0);
    run_coroutine(io, [&](const boost::asio::yield_context& yield) {
        for (block_chain& list : lists)
            list.acquire(1, yield);
        std::size_t ended = 0;
        outcome = outcome_of([&] {
            for (bool first = true;; first = false)
                for (ended = 0; ended < n; ++ended)
                    lengths[ended].push_back(read_fastq(*readers[ended], lists[ended],
                                                        first && tag_first ? tag.text : nullptr,
                                                        yield).bases);
        });
        accepted = outcome.empty();
        // The pair's other file must end at the same record.
        for (std::size_t i = 0; accepted && i < n; ++i) {
            if (i < ended)
                accepted = false;
            else if (i > ended)
                accepted = at_end(*readers[i], yield);
        }
    });
    for (std::size_t f = 0; f < n; ++f)
        readers[f].reset();

    bool reference_accepted = true;
    std::vector<std::vector<std::size_t>> reference_lengths(n);
    for (std::size_t f = 0; f < n; ++f)
        reference_accepted = reference_read(std::string(reinterpret_cast<const char*>(files[f].data),
                                                        files[f].size),
                                            reference_lengths[f]) &&
                             reference_accepted;
    if (n == 2 && reference_lengths[0].size() != reference_lengths[1].size())
        reference_accepted = false;
    FUZZ_CHECK(accepted == reference_accepted);
    if (accepted) {
        for (std::size_t f = 0; f < n; ++f) {
            const std::string in = with_final_line_feed(files[f].data, files[f].size);
            FUZZ_CHECK(contents(lists[f]) == (tag_first ? tagged(in, std::string(tag.view())) : in));
            FUZZ_CHECK(lengths[f] == reference_lengths[f]);
        }
    }
    return 0;
}
