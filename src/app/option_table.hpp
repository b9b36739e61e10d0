#pragma once

#include <string>

namespace shuffler {

// getopt_long's values for the options without a short letter.
enum option_id : int {
    peer_timeout_option = 256,
    port_file_option,
    progress_option,
    summary_option,
    spill_dir_option,
    spill_max_option,
    secret_file_option,
    insecure_option,
    plan_option,
    threads_option,
    level_option,
};

// One command-line option: all that the parser, --help, the usage text and the manual page say
// of it, so that none of them can drift from the others.
struct option_spec {
    const char* name;     // the long name, without "--"; null ends the table
    int id;               // what getopt_long returns: the short letter, or an option_id
    const char* argument; // the argument's name in the help texts ("ADDR"), or null for a flag
    const char* help;     // --help's meaning; each '\n' starts a line at the meanings' column
    const char* manual;   // the manual page's paragraph about it, in roff
};

// Every option, in the order --help and the manual page list them.
extern const option_spec option_table[];

// True when the option has a short letter: its id is that letter.
inline bool has_letter(const option_spec& o) { return o.id > 0 && o.id <= 255; }

// The manual page's OPTIONS entries: a .TP paragraph per option, from the table.
std::string manual_options();

} // namespace shuffler
