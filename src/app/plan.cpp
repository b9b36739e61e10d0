#include "app/plan.hpp"

#include "formats/shard_plan.hpp"
#include "io/file_pump.hpp"
#include "io/record_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace shuffler {

namespace {

// True when the file at `path` starts as BAM (BGZF) or CRAM does, rather than as SAM text.
bool is_binary_alignment(const std::string& path) {
    char magic[4] = {};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file || std::fread(magic, 1, sizeof magic, file.get()) != sizeof magic)
        return false; // the text path says why it cannot be read
    return (magic[0] == '\x1f' && magic[1] == '\x8b') || std::memcmp(magic, "CRAM", 4) == 0;
}

// Adds the @SQ lines of the header text `text` to `dictionary`, counting lines in `number`.
// False with the reason in `why` at the first line refused.
bool add_sq_lines(std::string_view text, std::uint32_t& number, sequence_dictionary& dictionary,
                  std::string& why) {
    while (!text.empty() && text[0] == '@') {
        ++number;
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.substr(0, 4) == "@SQ\t" && !add_sq_line(line, number, dictionary, why))
            return false;
    }
    return true;
}

// The @SQ lines of the header of the SAM, BAM or CRAM file at `path` ("-": standard input, read
// by htslib whatever it holds). SAM text is read only up to its first line that is not a header
// line, so a whole SAM file costs no more than its header.
sequence_dictionary read_header(const std::string& path) {
    const bool standard_input = path == "-";
    const std::string name = standard_input ? "stdin" : path;
    sequence_dictionary dictionary(name, "the header of " + name);
    std::uint32_t number = 0;
    std::string why;
    if (standard_input || is_binary_alignment(path)) {
        try {
            add_sq_lines(file_pump::read_hts_header(path), number, dictionary, why);
        } catch (const std::runtime_error& e) {
            throw record_error(e.what());
        }
    } else {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "r"),
                                                             &std::fclose);
        if (!file)
            throw record_error(name + ": " + std::strerror(errno));
        char* line = nullptr;
        std::size_t capacity = 0;
        ssize_t length;
        while (why.empty() && (length = ::getline(&line, &capacity, file.get())) > 0 &&
               line[0] == '@')
            add_sq_lines(std::string_view(line, std::size_t(length)), number, dictionary, why);
        const bool failed = std::ferror(file.get());
        std::free(line);
        if (failed && why.empty())
            throw record_error(name + ": read error");
    }
    if (!why.empty())
        throw record_error(name + ": line " + std::to_string(number) + ": " + why);
    return dictionary;
}

} // namespace

int print_plan(const run_config& config) {
    std::vector<plan_region> regions;
    try {
        const sequence_dictionary header = config.files.empty()
                                               ? sequence_dictionary("", "")
                                               : read_header(config.files[0]);
        regions = plan_regions(config.shards, header);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    for (const plan_region& r : regions)
        std::printf("%s\t%u\t%u\t%u\n", r.contig.c_str(), r.start, r.end, r.shard);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return 0;
    std::fprintf(stderr, "standard output: %s\n", std::strerror(errno));
    return 255;
}

} // namespace shuffler
