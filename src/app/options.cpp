#include "app/options.hpp"

#include <getopt.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace shuffler {
namespace {

const struct option long_options[] = {
    {"connect", required_argument, nullptr, 'c'},
    {"listen", required_argument, nullptr, 'l'},
    {"timeout", required_argument, nullptr, 't'},
    {"groupid", required_argument, nullptr, 'g'},
    {"format", required_argument, nullptr, 'f'},
    {"option", required_argument, nullptr, 'O'},
    {"pool_size", required_argument, nullptr, 'S'},
    {"max_groups", required_argument, nullptr, 'G'},
    {"workers", required_argument, nullptr, 'w'},
    {"peer-timeout", required_argument, nullptr, 'P'},
    {nullptr, 0, nullptr, 0},
};

// Group ids travel in a 16-bit header field.
constexpr std::int32_t largest_group_id = 65535;

std::string short_options() {
    std::string s;
    for (const struct option* o = long_options; o->name; ++o) {
        if (o->val == 0)
            continue;
        s += char(o->val);
        if (o->has_arg != no_argument)
            s += ':';
    }
    return s;
}

} // namespace

void print_usage(const char* program) {
    std::fprintf(stderr, "Usage: %s [OPTION]... [FILE]... \n", program);
    std::fprintf(stderr, "\nOptions:\n");
    for (const struct option* o = long_options; o->name; ++o) {
        if (o->val)
            std::fprintf(stderr, "  -%c, --%s\n", o->val, o->name);
        else
            std::fprintf(stderr, "      --%s\n", o->name);
    }
}

namespace {

[[noreturn]] void refuse(const char* message) { throw command_line_error(message, true); }

std::int32_t parse_int(const char* arg) { return std::int32_t(std::strtol(arg, nullptr, 10)); }

// A byte count with an optional K, M or G suffix. Zero, negative, malformed and counts beyond
// what the pool can count are refused.
std::int64_t parse_pool_size(const char* arg) {
    char* end = nullptr;
    errno = 0;
    std::int64_t value = std::strtol(arg, &end, 0);
    if (errno == ERANGE)
        value = 0;
    int shift = 0;
    if (*end != '\0') {
        switch (*end) {
        case 'G': case 'g': shift = 30; break;
        case 'M': case 'm': shift = 20; break;
        case 'K': case 'k': shift = 10; break;
        default: value = 0;
        }
        if (end[1] != '\0')
            value = 0;
    }
    // The pool counts its 256 MiB chunks in 32 bits.
    constexpr std::int64_t largest_pool = std::int64_t(UINT32_MAX) << 28;
    if (value <= 0 || value > (largest_pool >> shift)) {
        throw command_line_error(std::string("Bad pool size ") + arg, false);
    }
    return value << shift;
}

void add_option(option_map& options, const std::string& arg) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos)
        options[arg]; // a bare key keeps an earlier value
    else
        options[arg.substr(0, eq)] = arg.substr(eq + 1);
}

} // namespace

run_config parse_command_line(int argc, char** argv) {
    run_config config;
    const std::string shorts = short_options();
    int index = 0;
    int c;
    while ((c = getopt_long(argc, argv, shorts.c_str(), long_options, &index)) != -1) {
        switch (c) {
        case 'c': config.connect_list.emplace_back(optarg); break;
        case 'l': config.listen = optarg; break;
        case 't': config.timeout = parse_int(optarg); break;
        case 'g': config.groupid = parse_int(optarg); break;
        case 'f': config.format = optarg; break;
        case 'O': add_option(config.options, optarg); break;
        case 'S': config.pool_size = parse_pool_size(optarg); break;
        case 'G': config.max_groups = parse_int(optarg); break;
        case 'w': config.workers = parse_int(optarg); break;
        case 'P': config.peer_timeout = parse_int(optarg); break;
        default: refuse("Unknown option");
        }
    }
    for (int i = optind; i < argc; ++i)
        config.input_files.emplace_back(argv[i]);

    const bool listen = !config.listen.empty();
    const bool connect = !config.connect_list.empty();
    if (listen && connect)
        refuse("Both listen and connect options are specified");
    if (!listen && !connect)
        refuse("No listen or connect option is specified");
    if (config.groupid >= config.max_groups || config.groupid > largest_group_id)
        refuse("Group id exceeds maximum");
    return config;
}

} // namespace shuffler
