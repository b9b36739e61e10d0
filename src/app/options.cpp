#include "app/options.hpp"

#include "app/input_driver.hpp"
#include "app/option_table.hpp"
#include "buffers/buffer_pool.hpp"
#include "core/decimal.hpp"
#include "net/address.hpp"
#include "net/session.hpp"
#include "net/tls.hpp"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <map>

namespace shuffler {
namespace {

// getopt_long's table, made from option_table once.
const std::vector<struct option>& long_options() {
    static const std::vector<struct option> table = [] {
        std::vector<struct option> t;
        for (const option_spec* o = option_table; o->name; ++o)
            t.push_back({o->name, o->argument ? required_argument : no_argument, nullptr, o->id});
        t.push_back({nullptr, 0, nullptr, 0});
        return t;
    }();
    return table;
}

// Group ids travel in a 16-bit header field.
constexpr std::int32_t largest_group_id = 65535;

std::string short_options() {
    // The leading ':' tells a missing argument (':') from an unknown option ('?').
    std::string s = ":";
    for (const option_spec* o = option_table; o->name; ++o) {
        if (!has_letter(*o))
            continue;
        s += char(o->id);
        if (o->argument)
            s += ':';
    }
    return s;
}

// "  -c, --connect" or "      --peer-timeout".
std::string option_names(const option_spec& o) {
    std::string names =
        has_letter(o) ? std::string("  -") + char(o.id) + ", " : std::string(6, ' ');
    return names + "--" + o.name;
}

// How refusals name an option: "-g" when it has a letter, else "--peer-timeout".
std::string option_name(int id) {
    for (const option_spec* o = option_table; o->name; ++o)
        if (o->id == id)
            return has_letter(*o) ? std::string("-") + char(id) : std::string("--") + o->name;
    return std::string("-") + char(id);
}

} // namespace

void print_usage(const char* program) {
    std::fprintf(stderr, "Usage: %s [OPTION]... [FILE]... \n", program);
    std::fprintf(stderr, "\nOptions:\n");
    for (const option_spec* o = option_table; o->name; ++o)
        std::fprintf(stderr, "%s\n", option_names(*o).c_str());
}

void print_help(const char* program, std::FILE* out) {
    std::fprintf(out,
                 "Usage: %s [OPTION]... [FILE]...\n"
                 "Moves sequencing data (FASTQ, SAM, framed message streams) between cooperating\n"
                 "processes over TCP.\n\n"
                 "Roles: without -g, or with a negative group id, the process is the input side:\n"
                 "it reads FILE (a FASTQ file or pair, SAM, or a message stream; standard input\n"
                 "when none), packs whole records into messages of numbered groups and serves each\n"
                 "group to the workers that ask for it. With -g N (N >= 0) it is a worker, the\n"
                 "output side for group N: it writes the group's payload to FILE, or to standard\n"
                 "output when none is named; FILE '| COMMAND' is a shell command that reads the\n"
                 "payload on its standard input, and the worker succeeds only if it exits 0.\n"
                 "Either role listens (-l) or connects (-c), never both.\n\n"
                 "Options:\n",
                 program);
    constexpr std::size_t column = 30; // where the meanings start
    for (const option_spec* o = option_table; o->name; ++o) {
        std::string left = option_names(*o);
        if (o->argument)
            left += std::string(" ") + o->argument;
        left = left.size() + 2 > column ? left + "\n" + std::string(column, ' ')
                                         : left + std::string(column - left.size(), ' ');
        std::string line = left;
        for (const char* c = o->help; *c; ++c)
            line += *c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, *c);
        std::fprintf(out, "%s\n", line.c_str());
    }
    std::fprintf(out,
                 "\nExamples:\n"
                 "  # dice a FASTQ pair over two workers, each writing its share to a file\n"
                 "  shuffler -l :9000 -w 2 reads_1.fq.gz reads_2.fq.gz &\n"
                 "  shuffler -g 0 -c :9000 part1.fq & shuffler -g 0 -c :9000 part2.fq & wait\n\n"
                 "  # shard SAM by position: chr1 to group 1, chr2 up to 5 Mb to group 2, the rest "
                 "to 0\n"
                 "  shuffler -l :9000 -w 3 -O s1=chr1 -O s2=chr2:1-5000000 in.sam &\n"
                 "  for k in 0 1 2; do shuffler -g $k -c :9000 shard$k.sam & done; wait\n\n"
                 "  # across hosts: a free port on every interface, found through a shared file\n"
                 "  shuffler -l 0.0.0.0:0 --port-file /shared/job.port -w 4 r_1.fq r_2.fq &\n"
                 "  # on each worker host, its share into a command:\n"
                 "  shuffler -g 0 -c @/shared/job.port '| bwa mem -p ref.fa - > part.sam'\n\n"
                 "Security: a job with a port file, or with --secret-file, uses TLS 1.3 keyed by a\n"
                 "secret of the job, so that only holders of the secret join it and nothing\n"
                 "travels readable. Addresses named directly, without --secret-file, and\n"
                 "--insecure use plain TCP: neither authenticated nor encrypted; on a loopback\n"
                 "address only the user's own processes are let in, unless --insecure.\n\n"
                 "Exit status: 0 when the run completed and nothing failed, 1 for a refused\n"
                 "command line, 255 when an error was reported during the run (one line on\n"
                 "standard error: \"subject: text\").\n");
}

std::string version_line() { return std::string("shuffler ") + SHUFFLER_VERSION; }

namespace {

[[noreturn]] void refuse(const std::string& reason) { throw command_line_error(reason, true); }

// A refusal about a file rather than the options: the usage text would not help.
[[noreturn]] void refuse_file(const std::string& reason) {
    throw command_line_error(reason, false);
}

// A numeric option's value: a whole decimal within [min, max], or a refusal saying what is
// expected ("Bad timeout '3s': expected 0 to 2147483647 seconds").
std::int64_t parse_number(const char* what, const char* text, std::int64_t min, std::int64_t max,
                          const char* expected) {
    std::int64_t value = 0;
    if (parse_decimal(text, min, max, value) != decimal_status::ok)
        refuse(std::string("Bad ") + what + " '" + text + "': expected " + expected);
    return value;
}

// The bytes of a whole number of pool blocks: what a pool of `bytes` really allocates.
std::uint64_t pool_bytes(std::uint64_t bytes) {
    return (bytes + block::block_size - 1) / block::block_size * block::block_size;
}

// The pool a side gets when -S is not given. A worker holds at most two messages, so a small
// pool serves it; the input side keeps up to two unacknowledged messages of one block for every
// worker it expects.
std::int64_t default_pool_bytes(const run_config& config) {
    constexpr std::int64_t mib = std::int64_t(1) << 20;
    if (config.side() == role::output)
        return 64 * mib;
    const std::int64_t workers = config.workers > 0 ? config.workers
                                                    : std::int64_t(config.connect_list.size());
    return std::max(256 * mib,
                    64 * mib + workers * std::int64_t(send_window * block::block_size));
}

// A byte count with an optional K, M or G suffix, from `least` to `most` bytes; false when it is
// malformed or out of range.
bool parse_byte_count(const char* arg, std::int64_t least, std::int64_t most,
                      std::int64_t& bytes) {
    std::string digits = arg;
    int shift = 0;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'G': case 'g': shift = 30; break;
        case 'M': case 'm': shift = 20; break;
        case 'K': case 'k': shift = 10; break;
        }
        if (shift)
            digits.pop_back();
    }
    std::int64_t value = 0;
    if (parse_decimal(digits, least, most >> shift, value) != decimal_status::ok)
        return false;
    bytes = value << shift;
    return true;
}

// --pool_size. Zero, malformed counts and pools larger than the physical memory (which would
// fail, or swap, long after start-up) are refused.
std::int64_t parse_pool_size(const char* arg) {
    // The pool counts its 256 MiB chunks in 32 bits.
    constexpr std::int64_t largest_pool = std::int64_t(UINT32_MAX) << 28;
    std::int64_t bytes = 0;
    if (!parse_byte_count(arg, 1, largest_pool, bytes))
        refuse(std::string("Bad pool size ") + arg +
               ": expected a positive decimal number of bytes, with an optional K, M or G suffix");
    const long pages = ::sysconf(_SC_PHYS_PAGES), page_size = ::sysconf(_SC_PAGE_SIZE);
    const std::uint64_t physical = pages > 0 && page_size > 0
                                       ? std::uint64_t(pages) * std::uint64_t(page_size)
                                       : UINT64_MAX;
    if (pool_bytes(std::uint64_t(bytes)) > physical)
        refuse(std::string("Bad pool size ") + arg + ": more than the " +
               std::to_string(physical >> 20) + " MiB of physical memory");
    return bytes;
}

// --spill-max: a byte count with an optional K, M or G suffix; 0 never spills.
std::int64_t parse_spill_max(const char* arg) {
    std::int64_t bytes = 0;
    if (!parse_byte_count(arg, 0, std::int64_t(1) << 62, bytes))
        refuse(std::string("Bad spill size ") + arg +
               ": expected a decimal number of bytes, with an optional K, M or G suffix");
    return bytes;
}

// getopt_long's complaint, as one line naming the option. `c` is what it returned: ':' for a
// missing argument, '?' for anything else; `element` is the argument it was looking at.
[[noreturn]] void refuse_option(int c, const char* element) {
    const std::string text = element ? element : "";
    const bool long_form = text.size() > 2 && text.compare(0, 2, "--") == 0;
    const std::string typed = long_form ? text.substr(0, text.find('=')) : std::string();
    // A long option's complaint sets optopt to its value (0 when none matched); a short one's
    // to its letter, which no long option shares unless it is that option's own letter.
    const option_spec* matched = nullptr;
    for (const option_spec* o = option_table; long_form && optopt != 0 && o->name; ++o)
        if (o->id == optopt && (std::string("--") + o->name).compare(0, typed.size(), typed) == 0)
            matched = o;
    if (matched) {
        if (c == ':')
            refuse(std::string("Option --") + matched->name + " needs an argument");
        refuse(std::string("Option --") + matched->name + " takes no argument");
    }
    if (long_form && optopt == 0) {
        std::string candidates;
        int count = 0;
        for (const option_spec* o = option_table; o->name; ++o)
            if (std::string("--") + o->name != typed &&
                (std::string("--") + o->name).compare(0, typed.size(), typed) == 0) {
                candidates += std::string(count++ ? ", --" : "--") + o->name;
            }
        if (count > 1)
            refuse("Ambiguous option " + typed + ": " + candidates);
        refuse("Unknown option " + typed);
    }
    const std::string name = std::string("-") + char(optopt);
    if (c == ':')
        refuse("Option " + name + " needs an argument");
    refuse("Unknown option " + name);
}

void add_option(option_map& options, const std::string& arg) {
    const auto eq = arg.find('=');
    const std::string key = arg.substr(0, eq);
    if (key.empty())
        refuse("Bad -O option '" + arg + "': expected KEY=VALUE");
    // A second value for a key would silently replace the first.
    if (!options.emplace(key, eq == std::string::npos ? "" : arg.substr(eq + 1)).second)
        refuse("Repeated -O key " + key);
}

// Every -O key must be one that the role's routine reads: a typo is never ignored.
void check_option_keys(const run_config& config, bool input_side) {
    for (const auto& [key, value] : config.options) {
        const bool fastq = is_fastq_key(key), shard = is_sam_key(key);
        if (!fastq && !shard)
            refuse("Unknown -O key " + key + "; known keys: blksize, tag, check_pairs (FASTQ "
                   "input), s<k>, shards, pad, reference (SAM input)");
        const char* wanted = fastq ? "fastq" : "sam";
        if (!input_side)
            refuse("-O " + key + " is for " + wanted + " input; the output side takes no -O keys");
        if (fastq ? config.format != data_format::fastq : !is_alignment_format(config.format))
            refuse("-O " + key + " is for " + wanted + " input, not " + format_name(config.format) +
                   " input");
    }
}

// Input files are checked before anything starts, so that a typo in a name or a directory is
// named as such instead of surfacing as a child's failure or a pair of unequal length.
void check_input_files(const run_config& config) {
    for (const std::string& name : config.files) {
        if (name == "-" || (!name.empty() && name.back() == '|'))
            continue; // standard input, or a command's output
        struct stat st;
        if (::stat(name.c_str(), &st) != 0)
            refuse_file(name + ": " + std::strerror(errno));
        if (S_ISDIR(st.st_mode))
            refuse_file(name + ": is a directory, not an input file");
        if (::access(name.c_str(), R_OK) != 0)
            refuse_file(name + ": cannot be read: " + std::strerror(errno));
    }
}

// The port file is written once listening: a folder that cannot take it is named now, not after
// the peers have been waiting for it.
void check_port_file(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        refuse_file(path + ": is a directory, not a port file");
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        refuse_file(path + ": cannot be written: " + std::strerror(errno));
}

// The input side's format, files and -O settings; on success the plan of its routine is in
// `config`.
void check_input_side(run_config& config) {
    const std::size_t files = config.files.size();
    if (config.format_given.empty()) {
        if (files > 2)
            refuse("Too many input files: " + std::to_string(files) +
                   " given, at most 2 (a FASTQ pair)");
        config.format = detect_input_format(config.files);
    } else {
        const std::optional<data_format> named = format_named(config.format_given);
        if (!named || *named == data_format::text)
            refuse("Unknown input format " + config.format_given +
                   "; input formats: message, gzip, fastq, sam, bam, cram");
        config.format = *named;
    }
    const data_format format = config.format;
    const std::size_t most = format == data_format::fastq ? 2 : 1;
    if (files > most)
        refuse("Too many input files: " + std::to_string(files) + " given, " +
               format_name(format) + " input reads at most " + std::to_string(most));
    // Both would read the one standard input, each taking records the other needs.
    if (files == 2 && config.files[0] == "-" && config.files[1] == "-")
        refuse("Both files of the FASTQ pair are standard input ('-'): a pair needs two inputs");
    check_option_keys(config, true);
    try {
        if (format == data_format::fastq)
            config.fastq = parse_fastq_options(config.options);
        if (is_alignment_format(format))
            config.shards = parse_shard_options(config.options, std::size_t(config.max_groups));
    } catch (const std::invalid_argument& e) {
        refuse(e.what());
    } catch (const record_error& e) {
        refuse_file(e.what()); // an interval file or the reference: its line says it all
    }
    // Every shard holds an open block from the start, and at least one more must circulate.
    const std::uint64_t pool_blocks =
        pool_bytes(std::uint64_t(config.pool_size)) / block::block_size;
    if (is_alignment_format(format) && config.shards.max_shard + 1ull >= pool_blocks)
        refuse("Too many shards: " + std::to_string(config.shards.max_shard + 1) +
               " need more blocks than the pool's " + std::to_string(pool_blocks) +
               "; raise --pool_size");
    check_input_files(config);
}

// --plan: the shard keys and at most one SAM header; nothing of a job.
void check_plan(run_config& config) {
    if (!config.listen.empty() || !config.connect_list.empty() || config.side() == role::output)
        refuse("--plan runs no job: it takes no -l, -c or -g");
    if (config.files.size() > 1)
        refuse("Too many files: " + std::to_string(config.files.size()) +
               " given, --plan reads at most one SAM header");
    if (!config.format_given.empty() && config.format_given != "sam")
        refuse("--plan reads the header of SAM input, not " + config.format_given);
    config.format = data_format::sam;
    check_option_keys(config, true);
    try {
        config.shards = parse_shard_options(config.options, std::size_t(config.max_groups));
    } catch (const std::invalid_argument& e) {
        refuse(e.what());
    } catch (const record_error& e) {
        refuse_file(e.what());
    }
}

void check_output_side(run_config& config) {
    // The text formats differ only in name: every one writes the payloads as they came; bam
    // encodes the SAM text received.
    const std::optional<data_format> named =
        config.format_given.empty() ? data_format::text : format_named(config.format_given);
    if (!named || (*named != data_format::text && *named != data_format::fastq &&
                   *named != data_format::sam && *named != data_format::bam))
        refuse("Unknown output format " + config.format_given +
               "; output formats: text, fastq, sam, bam");
    config.format = *named;
    if (config.compression_level >= 0 && config.format != data_format::bam)
        refuse(std::string("--compression-level is for -f bam output, not ") +
               format_name(config.format));
    if (config.files.size() > 1)
        refuse("Too many output files: " + std::to_string(config.files.size()) +
               " given, an output side writes at most one");
    check_option_keys(config, false);
    if (!config.files.empty() && config.files[0].compare(0, 1, "|") == 0 &&
        config.files[0].find_first_not_of(" \t", 1) == std::string::npos)
        refuse_file("Output '" + config.files[0] + "' names no command after '|'");
    struct stat st;
    if (!config.files.empty() && ::stat(config.files[0].c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode))
        refuse_file(config.files[0] + ": is a directory, not an output file");
}

} // namespace

run_config parse_command_line(int argc, char** argv) {
    run_config config;
    const std::string shorts = short_options();
    optind = 0; // a fresh scan, however often this is called
    opterr = 0; // refuse_option says what is wrong, in one line
    int index = 0;
    int c;
    // The value each single-valued option was first given: a second one would silently replace
    // it, and "-g 0 -g -1" would turn a worker into an input side.
    std::map<int, std::string> given;
    while ((c = getopt_long(argc, argv, shorts.c_str(), long_options().data(), &index)) != -1) {
        if (c == '?' || c == ':')
            refuse_option(c, optind > 0 && optind <= argc ? argv[optind - 1] : nullptr);
        if (optarg && c != 'c' && c != 'O') {
            const auto [first, fresh] = given.emplace(c, optarg);
            if (!fresh)
                refuse("Repeated option " + option_name(c) + ": given '" + first->second +
                       "', then '" + optarg + "'; it takes one value");
        }
        switch (c) {
        case 'c': config.connect_list.emplace_back(optarg); break;
        case 'l': config.listen = optarg; break;
        case 't':
            config.timeout = std::int32_t(
                parse_number("timeout", optarg, 0, INT32_MAX, "0 to 2147483647 seconds"));
            break;
        case 'g':
            config.groupid = std::int32_t(
                parse_number("group id", optarg, INT32_MIN, largest_group_id,
                             "a negative number (input side) or 0 to 65535 (output side)"));
            break;
        case 'f': config.format_given = optarg; break;
        case 'O': add_option(config.options, optarg); break;
        case 'S': config.pool_size = parse_pool_size(optarg); break;
        case 'G':
            config.max_groups = std::int32_t(parse_number(
                "max_groups", optarg, 1, largest_group_id + 1, "1 to 65536 (16-bit group ids)"));
            break;
        case 'w':
            config.workers =
                std::int32_t(parse_number("worker count", optarg, 1, 65535, "1 to 65535"));
            break;
        case peer_timeout_option:
            config.peer_timeout = std::int32_t(
                parse_number("peer timeout", optarg, 1, 86400, "1 to 86400 seconds"));
            break;
        case port_file_option:
            if (!*optarg)
                refuse("Bad port file '': expected the name of a file to write");
            config.port_file = optarg;
            break;
        case progress_option: config.progress = true; break;
        case summary_option: config.summary = true; break;
        case spill_dir_option:
            if (!*optarg)
                refuse("Bad spill directory '': expected a directory or none");
            config.spill_dir = optarg;
            break;
        case spill_max_option: config.spill_max = parse_spill_max(optarg); break;
        case secret_file_option: config.secret_file = optarg; break;
        case insecure_option: config.insecure = true; break;
        case plan_option: config.plan = true; break;
        case threads_option:
            config.threads =
                std::int32_t(parse_number("thread count", optarg, 1, 1024, "1 to 1024"));
            break;
        case level_option:
            config.compression_level =
                std::int32_t(parse_number("compression level", optarg, 0, 9, "0 to 9"));
            break;
        case 'h': config.help = true; return config;
        case 'V': config.version = true; return config;
        default: refuse("Unknown option " + option_name(c)); // in the table but not handled
        }
    }
    for (int i = optind; i < argc; ++i)
        config.files.emplace_back(argv[i]);
    if (config.plan) {
        check_plan(config);
        return config;
    }

    const bool listen = !config.listen.empty();
    const bool connect = !config.connect_list.empty();
    if (listen && connect)
        refuse("Both listen and connect options are specified");
    if (!listen && !connect)
        refuse("No listen or connect option is specified");
    if (listen)
        if (const std::string problem = address_problem(config.listen, true); !problem.empty())
            refuse("Bad listen address '" + config.listen + "': " + problem);
    for (const std::string& address : config.connect_list) {
        if (address == "@" || (address.find(':') == std::string::npos && address[0] != '@'))
            refuse("Bad connect address '" + address +
                   "': expected host:port or @FILE, a listener's port file");
        if (address[0] == '@')
            continue; // the file is read once the run starts
        if (const std::string problem = address_problem(address, false); !problem.empty())
            refuse("Bad connect address '" + address + "': " + problem);
    }
    // Options of the other role would be ignored: a mistake is never silent.
    const bool output_side = config.side() == role::output;
    for (const auto& [option, value] : given) {
        const bool input_only =
            option == 'w' || option == spill_dir_option || option == spill_max_option;
        if (option == level_option && !output_side)
            refuse("--compression-level is for the output side (-f bam); the input side "
                   "writes no BAM");
        if (input_only && output_side)
            refuse(option_name(option) + " is for the input side; the output side takes no " +
                   option_name(option));
    }
    if (config.workers > 0 && !listen)
        refuse("-w needs --listen: a connecting input side serves the peers it names with -c");
    if (!config.port_file.empty()) {
        if (!listen)
            refuse("--port-file needs --listen: only a listening side has a port to tell");
        check_port_file(config.port_file);
    }
    if (!config.secret_file.empty()) {
        if (config.insecure)
            refuse("--insecure and --secret-file contradict each other");
        try {
            config.secret = read_secret_file(config.secret_file);
        } catch (const std::runtime_error& e) {
            refuse_file(e.what());
        }
    }
    if (config.pool_size == 0)
        config.pool_size = default_pool_bytes(config);
    if (config.spill_dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        config.spill_dir = tmp && *tmp ? tmp : "/tmp";
    } else if (config.spill_dir == "none") {
        config.spill_dir.clear();
    }
    if (config.groupid >= config.max_groups)
        refuse("Group id exceeds maximum: group " + std::to_string(config.groupid) +
               " with --max_groups " + std::to_string(config.max_groups));
    if (config.side() == role::input)
        check_input_side(config);
    else
        check_output_side(config);
    return config;
}

const char* format_name(data_format format) {
    switch (format) {
    case data_format::message: return "message";
    case data_format::gzip: return "gzip";
    case data_format::fastq: return "fastq";
    case data_format::sam: return "sam";
    case data_format::bam: return "bam";
    case data_format::cram: return "cram";
    case data_format::text: return "text";
    }
    return "unknown";
}

std::optional<data_format> format_named(const std::string& name) {
    for (const data_format format :
         {data_format::message, data_format::gzip, data_format::fastq, data_format::sam,
          data_format::bam, data_format::cram, data_format::text})
        if (name == format_name(format))
            return format;
    return std::nullopt;
}

} // namespace shuffler
