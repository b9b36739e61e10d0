#include "support/process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace shuffler_test;

namespace {

const std::string usage_text =
    "Usage: " + shuffler_binary() +
    " [OPTION]... [FILE]... \n\nOptions:\n"
    "  -c, --connect\n  -l, --listen\n  -t, --timeout\n  -g, --groupid\n"
    "  -f, --format\n  -O, --option\n  -S, --pool_size\n  -G, --max_groups\n"
    "  -w, --workers\n  -P, --peer-timeout\n";

TEST(CommandLine, RefusalsPrintTheirMessageThenUsage) {
    const std::string address = loopback(free_port()); // refusals never get as far as binding it
    const std::string program = shuffler_binary();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "No listen or connect option is specified"},
        {{"-c", address, "--listen", address}, "Both listen and connect options are specified"},
        {{"-l", ""}, "No listen or connect option is specified"}, // an empty address is none
        {{"-l", address, "-g", "5", "-G", "5"}, "Group id exceeds maximum"},
        // Group ids travel in 16 bits: a larger table does not make room for them.
        {{"-l", address, "-g", "65536", "-G", "65537"}, "Group id exceeds maximum"},
        // The option parser's own diagnostic comes first.
        {{"--bogus"}, program + ": unrecognized option '--bogus'\nUnknown option"},
        {{"-l"}, program + ": option requires an argument -- 'l'\nUnknown option"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        const child_result r = run(shuffler(args));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, message + "\n" + usage_text);
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, BadPoolSizesAreRefusedWithoutUsageBeforeTheRoleIsChecked) {
    for (const std::string size : {"1kb", "1x", "0", "-1", "0k", "abc", "",
                                   "99999999999999999999"}) {
        SCOPED_TRACE(size);
        const child_result r = run(shuffler({"-S", size}));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, "Bad pool size " + size + "\n");
    }
}

TEST(CommandLine, AcceptedConfigurationsRunAndReportTimes) {
    const std::regex timing("real [-0-9.e+]+ user [0-9.e+-]+ sys [0-9.e+-]+\n"
                            "children user [0-9.e+-]+ sys [0-9.e+-]+\n");
    const std::vector<std::vector<std::string>> extra = {
        {"-S", "1k"},
        {"-S", "0x10M"},
        {"-S", "2G"},
        {"-S", "010"},
        {"-S", "3m"},
        {"-S", "1g"},
        {"-G", "0"},
        {"-g", "4", "-G", "5"},
        {"-g", "65535", "-G", "65536"},
        {"-g", "0", "-O", "a=b=c", "-O", "blksize", "-f", "sam"},
        {"--pool_size=8M", "--max_groups=2", "--timeout=0"},
    };
    for (const auto& args : extra) {
        std::vector<std::string> argv = {"-l", loopback(free_port()), "-t", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(args.front() + " " + args.back());
        const child_result r = run(shuffler(argv), {}, std::chrono::seconds(20));
        // A listening worker that nobody reached fails; an input side with no input does not.
        const bool worker = std::find(args.begin(), args.end(), "-g") != args.end();
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

} // namespace
