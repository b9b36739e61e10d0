#pragma once

#include "formats/fastq.hpp"
#include "formats/format_options.hpp"
#include "formats/sam.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace shuffler {

// Which side of a job a process is: the input side (-g negative) serves groups, a worker (-g N,
// the output side) receives group N.
enum class role { input, output };

// The -f formats: what the input side reads (message, gzip, fastq, sam, bam, cram), or what a
// worker writes (text, fastq, sam, bam).
enum class data_format { message, gzip, fastq, sam, bam, cram, text };

// The format's name on the command line.
const char* format_name(data_format format);
// The format named `name`, or nothing for a name that is none.
std::optional<data_format> format_named(const std::string& name);

// Everything the command line sets, checked. Lives in main for the whole run.
struct run_config {
    std::vector<std::string> connect_list; // -c, in command-line order
    std::string listen;                    // -l; empty means none
    std::int32_t timeout = 60;             // -t, seconds from the end of start-up to the deadline
    std::int32_t groupid = -1;             // -g; negative makes the input side
    std::string format_given;              // -f as given; empty when it was not
    data_format format = data_format::message; // -f, or what the role and file names imply
    option_map options;                    // -O key[=value], each key once
    std::int64_t pool_size = 0;            // -S, bytes; else the side's default (see run.cpp)
    std::int32_t max_groups = 1024;        // -G, 1 to 65536
    std::int32_t workers = 0;              // -w, worker connections to expect; 0 means not given
    std::int32_t peer_timeout = 60;        // --peer-timeout, seconds
    std::string port_file;                 // --port-file, with -l; empty means none
    bool progress = false;                 // --progress: a status line about once a second
    bool summary = false;                  // --summary (implied by --progress): totals at the end
    std::string spill_dir;                 // --spill-dir, else $TMPDIR or /tmp; empty: off
    std::int64_t spill_max = -1;           // --spill-max, bytes; -1: half the free space
    std::string secret_file;               // --secret-file; empty means none
    std::string secret;                    // what the secret file holds
    bool insecure = false;                 // --insecure: plain TCP even with a port file
    std::vector<std::string> files;         // positional: the inputs, or a worker's output
    fastq_plan fastq;                      // -O blksize, tag, check_pairs, for FASTQ input
    shard_plan shards;                      // -O s<k>=INTERVALS, for SAM input
    std::int32_t threads = 0;              // --threads: htslib's threads per file; 0: the cores
    std::int32_t compression_level = -1;   // --compression-level for -f bam; -1: htslib's
    bool plan = false;    // --plan: print the shard plan and exit; no job runs
    bool help = false;    // -h: print the help text and exit; nothing else is checked
    bool version = false; // -V: print the version and exit; nothing else is checked

    role side() const { return groupid < 0 ? role::input : role::output; }
};

// A refused command line: the reason, and whether the usage text should follow it.
struct command_line_error : std::runtime_error {
    command_line_error(const std::string& reason, bool show_usage)
        : std::runtime_error(reason), show_usage(show_usage) {}
    bool show_usage;
};

// SAM, BAM and CRAM: the input formats the SAM router shards (the binary ones decoded to text).
inline bool is_alignment_format(data_format format) {
    return format == data_format::sam || format == data_format::bam || format == data_format::cram;
}

// Parses and checks the command line: every value, the formats, the number of files, the -O
// keys and values, and that the input files can be read. Throws command_line_error when it is
// refused; opens nothing, so a refusal leaves no socket, file or child behind.
run_config parse_command_line(int argc, char** argv);

// Writes the usage text (options without descriptions) to standard error.
void print_usage(const char* program);

// Writes the help text (every option with its argument and meaning, the roles, examples).
void print_help(const char* program, std::FILE* out);

// "shuffler X.Y.Z", from the project version.
std::string version_line();

} // namespace shuffler
