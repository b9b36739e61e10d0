#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace shuffler {

using option_map = std::map<std::string, std::string>;

// Everything the command line sets. Lives in main for the whole run.
struct run_config {
    std::vector<std::string> connect_list;   // -c, in command-line order
    std::string listen;                      // -l; empty means none
    std::int32_t timeout = 60;               // -t, seconds until the run deadline
    std::int32_t groupid = -1;               // -g; negative makes the input side
    std::string format;                      // -f; empty means detect (input) or "text"
    option_map options;                      // -O key[=value]
    std::int64_t pool_size = 268435456;      // -S, bytes
    std::int32_t max_groups = 1024;          // -G
    std::vector<std::string> input_files;    // positional arguments
};

// Parses and validates the command line. Prints the refusal (and usage) and exits with status 1
// on any error.
run_config parse_command_line(int argc, char** argv);

} // namespace shuffler
