#pragma once

#include "formats/format_options.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace shuffler {

// Everything the command line sets. Lives in main for the whole run.
struct run_config {
    std::vector<std::string> connect_list;   // -c, in command-line order
    std::string listen;                      // -l; empty means none
    std::int32_t timeout = 60;               // -t, seconds until the run deadline
    std::int32_t groupid = -1;               // -g; negative makes the input side
    std::string format;                      // -f; empty means detect (input) or "text"
    option_map options;                      // -O key[=value]
    std::int64_t pool_size = 0;              // -S, bytes; 0: the default for the side
    std::int32_t max_groups = 1024;          // -G
    std::int32_t workers = 0;                // -w, worker connections to expect; 0: not given
    std::int32_t peer_timeout = 60;          // --peer-timeout, seconds
    std::vector<std::string> input_files;    // positional arguments
};

// A refused command line: the reason, and whether the usage text should follow it.
struct command_line_error : std::runtime_error {
    command_line_error(const std::string& reason, bool show_usage)
        : std::runtime_error(reason), show_usage(show_usage) {}
    bool show_usage;
};

// Parses and validates the command line; throws command_line_error when it is refused.
run_config parse_command_line(int argc, char** argv);

// Writes the usage text to standard error.
void print_usage(const char* program);

} // namespace shuffler
