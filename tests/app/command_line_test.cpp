#include "app/options.hpp"

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>

// Inside shuffler_test, `shuffler(...)` is the binary's command line and ::shuffler the library.
namespace shuffler_test {
namespace {

const std::string usage_text =
    "Usage: " + shuffler_binary() +
    " [OPTION]... [FILE]... \n\nOptions:\n"
    "  -c, --connect\n  -l, --listen\n  -t, --timeout\n  -g, --groupid\n"
    "  -f, --format\n  -O, --option\n  -S, --pool_size\n  -G, --max_groups\n"
    "  -w, --workers\n      --peer-timeout\n      --port-file\n      --progress\n      --summary\n"
    "      --spill-dir\n      --spill-max\n      --secret-file\n      --insecure\n      --plan\n      --threads\n      --compression-level\n"
    "  -h, --help\n  -V, --version\n";

TEST(CommandLine, RefusalsPrintTheirMessageThenUsage) {
    const reserved_port held; // refusals never get as far as binding it, nor connecting there
    const std::string address = held.address();
    const std::string program = shuffler_binary();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "No listen or connect option is specified"},
        {{"-c", address, "--listen", address}, "Both listen and connect options are specified"},
        {{"-l", ""}, "No listen or connect option is specified"}, // an empty address is none
        {{"-l", address, "-g", "5", "-G", "5"},
         "Group id exceeds maximum: group 5 with --max_groups 5"},
        // Group ids travel in 16 bits: a larger table does not make room for them.
        {{"-l", address, "-g", "65536", "-G", "65536"},
         "Bad group id '65536': expected a negative number (input side) or 0 to 65535 (output "
         "side)"},
        // One line naming the option, not the option parser's own and then a second.
        {{"--bogus"}, "Unknown option --bogus"},
        {{"-l", address, "-x"}, "Unknown option -x"},
        // Found inside "-xV", after a long option: still the letter.
        {{"-l", address, "--insecure", "-xV"}, "Unknown option -x"},
        {{"-l"}, "Option -l needs an argument"},
        {{"--listen"}, "Option --listen needs an argument"},
        {{"-l", address, "--peer-time"}, "Option --peer-timeout needs an argument"},
        {{"-l", address, "--help=x"}, "Option --help takes no argument"},
        {{"-l", address, "--progress=yes"}, "Option --progress takes no argument"},
        {{"-l", address, "--s"},
         "Ambiguous option --s: --summary, --spill-dir, --spill-max, --secret-file"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        const child_result r = run(shuffler(args));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, message + "\n" + usage_text);
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, BadPoolSizesAreRefusedWithUsageBeforeTheRoleIsChecked) {
    for (const std::string size : {"1kb", "1x", "0", "-1", "0k", "abc", "", "k", "+5", " 5",
                                   "0x10M", "99999999999999999999", "1073741824G"}) {
        SCOPED_TRACE(size);
        const child_result r = run(shuffler({"-S", size}));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, "Bad pool size " + size +
                             ": expected a positive decimal number of bytes, with an optional "
                             "K, M or G suffix\n" +
                             usage_text);
    }
    // More than this machine holds would fail, or swap, long after start-up.
    const child_result r = run(shuffler({"-S", "1000000G"}));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(std::regex_match(
        r.err.substr(0, r.err.find('\n')),
        std::regex("Bad pool size 1000000G: more than the [0-9]+ MiB of physical memory")))
        << r.err;
}

TEST(CommandLine, AcceptedConfigurationsRunAndReportTimes) {
    const std::regex timing("real [-0-9.e+]+ user [0-9.e+-]+ sys [0-9.e+-]+\n"
                            "children user [0-9.e+-]+ sys [0-9.e+-]+\n");
    const std::vector<std::vector<std::string>> extra = {
        {"-S", "1k"},
        {"-S", "16M"},
        {"-S", "2G"},
        {"-S", "010"},
        {"-S", "3m"},
        {"-S", "1g"},
        {"-G", "1"},
        {"-g", "4", "-G", "5"},
        {"-g", "65535", "-G", "65536"},
        {"-g", "-7"},
        {"-g", "0", "-f", "sam"},
        {"-g", "1", "-f", "fastq"},
        {"-w", "3", "--peer-timeout", "86400"},
        {"--pool_size=8M", "--max_groups=2", "--workers=65535", "--peer-timeout=1"},
        // Flags may be repeated: they carry no value to replace.
        {"--insecure", "--insecure"},
    };
    for (const auto& args : extra) {
        std::vector<std::string> argv = {"-l", any_loopback_port, "--timeout=0"};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(args.front() + " " + args.back());
        const child_result r = run(shuffler(argv), {}, std::chrono::seconds(60));
        // A listening worker that nobody reached fails; an input side with no input does not.
        const auto g = std::find(args.begin(), args.end(), "-g");
        const bool worker = g != args.end() && (*std::next(g))[0] != '-';
        EXPECT_EQ(r.exit_status, worker ? 255 : 0) << r.err;
        const std::string unreached = argv[1] + ": no input side connected before the deadline\n";
        EXPECT_TRUE(std::regex_match(worker && r.err.rfind(unreached, 0) == 0
                                         ? r.err.substr(unreached.size())
                                         : r.err,
                                     timing))
            << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// The parser on its own, called again and again as a fuzzer would: each call starts afresh and
// stores exactly the values given.
::shuffler::run_config parse(std::vector<std::string> args) {
    args.insert(args.begin(), "shuffler");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return ::shuffler::parse_command_line(int(args.size()), argv.data());
}

TEST(ParseCommandLine, StoresExactlyTheValuesGiven) {
    const ::shuffler::run_config defaults = parse({"-l", ":1"});
    EXPECT_EQ(defaults.timeout, 60);
    EXPECT_EQ(defaults.groupid, -1);
    EXPECT_EQ(defaults.workers, 0);
    EXPECT_EQ(defaults.peer_timeout, 60);
    EXPECT_EQ(defaults.format, shuffler::data_format::message);
    const ::shuffler::run_config c =
        parse({"-l", ":1", "-t", "007", "-S", "010", "-G", "65536", "-w", "12", "--peer-timeout",
               "300", "-f", "fastq", "-O", "blksize=2147483647"});
    EXPECT_EQ(c.timeout, 7);
    EXPECT_EQ(c.pool_size, 10); // decimal, not octal
    EXPECT_EQ(c.max_groups, 65536);
    EXPECT_EQ(c.workers, 12);
    EXPECT_EQ(c.peer_timeout, 300);
    EXPECT_EQ(c.fastq.blksize, 2147483647);
    EXPECT_TRUE(defaults.port_file.empty() && !defaults.progress && !defaults.summary);
    const ::shuffler::run_config rendezvous =
        parse({"-l", "0.0.0.0:0", "--port-file", "/tmp/job.port", "--summary", "--progress"});
    EXPECT_EQ(rendezvous.port_file, "/tmp/job.port");
    EXPECT_TRUE(rendezvous.progress && rendezvous.summary);
    EXPECT_EQ(parse({"-g", "0", "-c", "@/tmp/job.port"}).connect_list,
              std::vector<std::string>{"@/tmp/job.port"});
    const ::shuffler::run_config sam =
        parse({"-c", ":1", "-G", "3", "-O", "s2=chr1:5+2", "-O", "s1=chr2,NO_COOR", "-f", "sam"});
    EXPECT_EQ(sam.shards.max_shard, 2u);
    // Key by key in byte order: s1's intervals first.
    ASSERT_EQ(sam.shards.intervals.intervals.size(), 3u);
    const ::shuffler::shard_interval& chr1 = sam.shards.intervals.intervals[2];
    EXPECT_EQ(chr1.contig, "chr1");
    EXPECT_EQ(chr1.shard, 2u);
    EXPECT_EQ(chr1.start, 4u);
    EXPECT_EQ(chr1.end, 6u);
    EXPECT_EQ(sam.shards.pad, 0u);
    const ::shuffler::run_config equal =
        parse({"-c", ":1", "-O", "shards=7", "-O", "pad=150", "-f", "sam"});
    EXPECT_EQ(equal.shards.equal_shards, 7u);
    EXPECT_EQ(equal.shards.max_shard, 7u);
    EXPECT_EQ(equal.shards.pad, 150u);
    EXPECT_EQ(parse({"-g", "3", "-l", ":1"}).format, shuffler::data_format::text);
    // Spilling: on by default, in $TMPDIR or else /tmp, capped later by the free space.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string saved = tmpdir ? tmpdir : "";
    ::setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(parse({"-l", ":1"}).spill_dir, "/var/tmp");
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(parse({"-l", ":1"}).spill_dir, "/tmp");
    if (tmpdir)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_EQ(parse({"-l", ":1"}).spill_max, -1);
    EXPECT_EQ(parse({"-l", ":1", "--spill-dir", "none"}).spill_dir, "");
    const ::shuffler::run_config spill =
        parse({"-l", ":1", "--spill-dir", "/data/spill", "--spill-max", "3G"});
    EXPECT_EQ(spill.spill_dir, "/data/spill");
    EXPECT_EQ(spill.spill_max, std::int64_t(3) << 30);
    EXPECT_EQ(parse({"-l", ":1", "--spill-max", "0"}).spill_max, 0);
    EXPECT_TRUE(parse({"--help", "-g", "x"}).help); // nothing after it is looked at
    EXPECT_TRUE(parse({"-V"}).version);
}

TEST(ParseCommandLine, RefusesValuesThatOnceWrappedOrWereIgnored) {
    const std::vector<std::vector<std::string>> refused = {
        {"-g", "x"},           {"-g", "4294967296"},    {"-g", "4294967295"},
        {"-g", "1e3"},         {"-g", ""},              {"-t", "abc"},
        {"-t", "3s"},          {"-t", "-5"},            {"-t", "4294967297"},
        {"-t", "0x10"},        {"-G", "0"},             {"-G", "2000000000"},
        {"-G", "65537"},       {"-w", "0"},             {"-w", "65536"},
        {"-w", "two"},         {"--peer-timeout", "0"}, {"--peer-timeout", "86401"},
        {"-O", "blocksize=1"}, {"-O", "=5"},            {"-O", "blksize=0"},
        {"-O", "blksize=5x"},  {"-O", "blksize"},       {"-O", "blksize=1", "-O", "blksize=1"},
        {"-O", "shards=4"},    {"-O", "pad=5"},            {"--spill-dir", ""},
        {"--spill-max", "-1"}, {"--spill-max", "1T"},    {"--spill-max", "5G5"},
        {"--spill-max", ""},   {"--spill-max", "99999999999G"},
    };
    for (std::vector<std::string> args : refused) {
        SCOPED_TRACE(args.front() + " " + args.back());
        args.insert(args.begin(), {"-l", ":1", "-f", "fastq"});
        EXPECT_THROW(parse(args), ::shuffler::command_line_error);
    }
}

// What parse refuses `args` with, or "" when it takes them.
std::string refusal(const std::vector<std::string>& args) {
    try {
        parse(args);
    } catch (const ::shuffler::command_line_error& e) {
        return e.what();
    }
    return "";
}

TEST(ParseCommandLine, PortsAreWholeDecimalsAndZeroOnlyForAListener) {
    for (const std::string address : {":0", "127.0.0.1:0", ":65535", "[::1]:0", "0.0.0.0:00009"})
        EXPECT_EQ(refusal({"-l", address}), "") << address;
    for (const std::string address : {":1", "[::1]:65535", "host.example:9000", "@job.port"})
        EXPECT_EQ(refusal({"-c", address}), "") << address;
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"-l", ":99999"}, "Bad listen address ':99999': port '99999' is not a decimal from 0 to "
                           "65535"},
        {{"-l", "[::1]:"}, "Bad listen address '[::1]:': port '' is not a decimal from 0 to 65535"},
        {{"-l", ":+5"}, "Bad listen address ':+5': port '+5' is not a decimal from 0 to 65535"},
        {{"-l", ": 5"}, "Bad listen address ': 5': port ' 5' is not a decimal from 0 to 65535"},
        {{"-l", ":ssh"}, "Bad listen address ':ssh': port 'ssh' is not a decimal from 0 to 65535"},
        {{"-l", "9000"}, "Bad listen address '9000': expected host:port (\":port\" for localhost)"},
        {{"-c", "h:0"}, "Bad connect address 'h:0': port '0' is not a decimal from 1 to 65535"},
        {{"-c", "h:4294967297"},
         "Bad connect address 'h:4294967297': port '4294967297' is not a decimal from 1 to 65535"},
        {{"-c", ""}, "Bad connect address '': expected host:port or @FILE, a listener's port file"},
    };
    for (const auto& [args, line] : refused)
        EXPECT_EQ(refusal(args), line);
}

TEST(ParseCommandLine, EachValuedOptionIsGivenOnceAndOnlyToItsRole) {
    // -c and -O collect; flags carry no value to lose.
    EXPECT_EQ(parse({"-g", "0", "-c", ":1", "-c", ":2"}).connect_list.size(), 2u);
    EXPECT_TRUE(parse({"-l", ":1", "--progress", "--progress"}).progress);
    EXPECT_EQ(parse({"-l", ":1", "-w", "2"}).workers, 2);
    EXPECT_EQ(parse({"-l", ":1", "--spill-dir", "none", "--spill-max", "0"}).spill_dir, "");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"-g", "0", "-l", ":1", "-g", "-1"},
         "Repeated option -g: given '0', then '-1'; it takes one value"},
        {{"-l", ":1", "--listen=:2"},
         "Repeated option -l: given ':1', then ':2'; it takes one value"},
        {{"-l", ":1", "-t", "5", "-t", "5"}, "Repeated option -t: given '5', then '5'; it takes "
                                             "one value"},
        {{"-l", ":1", "-G", "5", "--max_groups", "6"}, "Repeated option -G: given '5', then '6'; "
                                                       "it takes one value"},
        {{"-l", ":1", "-w", "1", "-w", "2"}, "Repeated option -w: given '1', then '2'; it takes "
                                             "one value"},
        {{"-l", ":1", "--port-file", "a", "--port-file", "b"},
         "Repeated option --port-file: given 'a', then 'b'; it takes one value"},
        {{"-l", ":1", "--spill-dir", "a", "--spill-dir", "none"},
         "Repeated option --spill-dir: given 'a', then 'none'; it takes one value"},
        {{"-l", ":1", "--secret-file", "a", "--secret-file", "a"},
         "Repeated option --secret-file: given 'a', then 'a'; it takes one value"},
        {{"-g", "0", "-l", ":1", "-w", "1"}, "-w is for the input side; the output side takes "
                                             "no -w"},
        {{"-g", "0", "-l", ":1", "--spill-dir", "none"},
         "--spill-dir is for the input side; the output side takes no --spill-dir"},
        {{"-g", "0", "-c", ":1", "--spill-max", "0"},
         "--spill-max is for the input side; the output side takes no --spill-max"},
        {{"-c", ":1", "-w", "1"},
         "-w needs --listen: a connecting input side serves the peers it names with -c"},
        {{"-l", ":1", "-", "-"},
         "Both files of the FASTQ pair are standard input ('-'): a pair needs two inputs"},
    };
    for (const auto& [args, line] : refused)
        EXPECT_EQ(refusal(args), line);
}

} // namespace
} // namespace shuffler_test
