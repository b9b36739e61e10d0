#include "app/plan.hpp"

#include "formats/shard_plan.hpp"
#include "io/record_reader.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace shuffler {

namespace {

// The @SQ lines of the SAM header at `path` ("-": standard input); reading stops at the first
// line that is not a header line, so a whole SAM file costs no more than its header.
sequence_dictionary read_header(const std::string& path) {
    const bool standard_input = path == "-";
    const std::string name = standard_input ? "stdin" : path;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        standard_input ? stdin : std::fopen(path.c_str(), "r"),
        standard_input ? +[](std::FILE*) { return 0; } : &std::fclose);
    if (!file)
        throw record_error(name + ": " + std::strerror(errno));
    sequence_dictionary dictionary(name, "the header of " + name);
    char* line = nullptr;
    std::size_t capacity = 0;
    std::uint32_t number = 0;
    ssize_t length;
    std::string why;
    while ((length = ::getline(&line, &capacity, file.get())) > 0 && line[0] == '@') {
        ++number;
        std::string_view text(line, std::size_t(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.remove_suffix(1);
        if (text.substr(0, 4) == "@SQ\t" && !add_sq_line(text, number, dictionary, why))
            break;
    }
    const bool failed = std::ferror(file.get());
    std::free(line);
    if (!why.empty())
        throw record_error(name + ": line " + std::to_string(number) + ": " + why);
    if (failed)
        throw record_error(name + ": read error");
    return dictionary;
}

} // namespace

int print_plan(const run_config& config) {
    std::vector<plan_region> regions;
    try {
        const sequence_dictionary header = config.input_files.empty()
                                               ? sequence_dictionary("", "")
                                               : read_header(config.input_files[0]);
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
