#include "support/process.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace shuffler_test;

namespace {

// The usage text, byte for byte, for the binary under test.
std::string usage_text() {
    return "Usage: " + shuffler_binary() +
           " [OPTION]... [FILE]... \n"
           "\n"
           "Options:\n"
           "  -c, --connect\n"
           "  -l, --listen\n"
           "  -t, --timeout\n"
           "  -g, --groupid\n"
           "  -f, --format\n"
           "  -O, --option\n"
           "  -S, --pool_size\n"
           "  -G, --max_groups\n";
}

// A listen address no one else uses; refusals never get as far as binding it.
std::string some_listen_address() { return "127.0.0.1:" + std::to_string(free_port()); }

// Counts the lines of `text`.
std::size_t line_count(const std::string& text) {
    std::size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

} // namespace

TEST(CommandLine, NoArgumentsIsRefusedWithUsage) {
    const child_result r = run(shuffler({}));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "No listen or connect option is specified\n" + usage_text());
    EXPECT_EQ(r.out, "");
}

TEST(CommandLine, ConsistencyRefusalsPrintMessageThenUsage) {
    const std::string address = some_listen_address();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-l", address, "-c", address}, "Both listen and connect options are specified"},
        {{"-c", address, "--listen", address}, "Both listen and connect options are specified"},
        {{"-g", "0", "-t", "1"}, "No listen or connect option is specified"},
        // An explicitly empty listen address is no listen address.
        {{"-l", ""}, "No listen or connect option is specified"},
        {{"-l", address, "-g", "5", "-G", "5"}, "Group id exceeds maximum"},
        {{"-l", address, "-g", "0", "-G", "0"}, "Group id exceeds maximum"},
        // Group ids travel in 16 bits: a larger table does not make room for them.
        {{"-l", address, "-g", "70000", "-G", "100000"}, "Group id exceeds maximum"},
        {{"-l", address, "-g", "65536", "-G", "65537"}, "Group id exceeds maximum"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const child_result r = run(shuffler(c.args));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.message + "\n" + usage_text());
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, UnknownOptionFollowsTheParsersOwnDiagnostic) {
    const std::string program = shuffler_binary();
    const struct {
        std::vector<std::string> args;
        std::string diagnostic;
    } cases[] = {
        {{"--bogus"}, program + ": unrecognized option '--bogus'\n"},
        {{"-x"}, program + ": invalid option -- 'x'\n"},
        {{"-l"}, program + ": option requires an argument -- 'l'\n"},
        {{"-l", some_listen_address(), "--timeout"},
         program + ": option '--timeout' requires an argument\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const child_result r = run(shuffler(c.args));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.diagnostic + "Unknown option\n" + usage_text());
    }
}

TEST(CommandLine, BadPoolSizesAreRefusedWithoutUsage) {
    for (const std::string size : {"1kb", "1x", "0", "abc", "0k", "-1", "k", ""}) {
        SCOPED_TRACE(size);
        const child_result r = run(shuffler({"-l", some_listen_address(), "-S", size}));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, "Bad pool size " + size + "\n");
    }
}

TEST(CommandLine, BadPoolSizeIsCheckedBeforeTheRoleOptions) {
    // Parsing stops at the bad size, before any listen/connect consistency is looked at.
    const child_result r = run(shuffler({"-S", "0"}));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Bad pool size 0\n");
}

TEST(CommandLine, AcceptedConfigurationsRunAndReportTimes) {
    const std::regex timing(
        "real [-0-9.e+]+ user [0-9.e+-]+ sys [0-9.e+-]+\n"
        "children user [0-9.e+-]+ sys [0-9.e+-]+\n");
    const std::vector<std::vector<std::string>> extra = {
        {"-S", "1k"},    {"-S", "0x10M"}, {"-S", "2G"},     {"-S", "010"},
        {"-S", "3m"},    {"-S", "1g"},    {"-S", "4096"},   {"-G", "0"},
        {"-g", "4", "-G", "5"},           {"-g", "65535", "-G", "65536"},
        {"-g", "0", "-O", "a=b=c", "-O", "blksize", "-f", "sam"},
        {"--pool_size=8M", "--max_groups=2", "--timeout=0"},
    };
    for (const auto& args : extra) {
        std::vector<std::string> argv = {"-l", some_listen_address(), "-t", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(args.front() + " " + args.back());
        const child_result r = run(shuffler(argv), {}, std::chrono::seconds(20));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.err, timing)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, AddressWithoutPortIsOneErrorLine) {
    const struct {
        std::vector<std::string> args;
        std::string subject;
    } cases[] = {
        {{"-g", "0", "-c", "localhost", "-t", "1"}, "localhost: "},
        {{"-l", "12345", "-t", "1"}, "12345: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subject);
        const child_result r = run(shuffler(c.args), {}, std::chrono::seconds(20));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 255);
        const std::string err = without_timing(r.err);
        EXPECT_EQ(line_count(err), 1u) << err;
        EXPECT_EQ(err.rfind(c.subject, 0), 0u) << err;
        // The run still ends through the normal report.
        EXPECT_NE(r.err.find("\nchildren user "), std::string::npos) << r.err;
    }
}
