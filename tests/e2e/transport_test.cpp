// End-to-end runs of the real binary over loopback: stored message streams served to output-side
// peers, both directions of connection, and the failures a run must report in one line.

#include "e2e/message_stream.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Inside the test namespace, so `shuffler(...)` means the command line, not the program's namespace.
namespace shuffler_test {
namespace {

// Bound for every wait on a process: a hang fails the test instead of stalling the suite.
constexpr std::chrono::seconds limit(20);

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

std::vector<std::string> args(std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

// An input side listening on a fresh loopback port. Connect retries cover a slow start, but
// waiting for the listener keeps the peers' first attempts from being refused.
std::unique_ptr<child_process> start_input_side(int port, const std::vector<std::string>& more,
                                                child_input in = {}, bool wait = true) {
    auto p = std::make_unique<child_process>(
        shuffler(args({"-l", loopback(port)}, more)), std::move(in));
    if (wait) {
        EXPECT_TRUE(wait_listening(port)) << "input side never listened on " << port;
    }
    return p;
}

// An output-side peer connecting for `group`; its own deadline only bounds connect retries.
std::unique_ptr<child_process> start_output_peer(int group, int port,
                                                 const std::vector<std::string>& more = {}) {
    return std::make_unique<child_process>(shuffler(
        args({"-g", std::to_string(group), "-c", loopback(port), "-t", "10"}, more)));
}

std::size_t line_count(const std::string& text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// Exit 0 and nothing on standard error beyond the timing report.
void expect_clean(const child_result& r, const std::string& who) {
    EXPECT_FALSE(r.timed_out) << who;
    EXPECT_EQ(r.exit_status, 0) << who << ": " << r.err;
    EXPECT_EQ(without_timing(r.err), "") << who;
}

// Byte comparison that reports the first difference instead of dumping megabytes.
::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
    if (actual == expected)
        return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure()
           << "got " << actual.size() << " bytes, expected " << expected.size()
           << ", first difference at offset " << (diff.first - actual.begin());
}

// Messages for groups 0, 1 and 3 of a four-group table, with header-only messages in between
// and one payload larger than a 4 MiB pool block; group 2 stays empty.
message_stream mixed_stream() {
    message_stream s;
    s.add(0, "alpha\n").add(1, "one\n").add(0, "").add(3, "three")
        .add(0, "beta\n").add(1, std::string(4 * 1024 * 1024 + 100, 'x') + "end\n")
        .add(3, "").add(0, "gamma\n").add(3, "-more\n");
    return s;
}

// Serves `stream` to peers for groups 0..3 and checks every peer's output and exit.
void expect_served(const message_stream& stream, const std::vector<std::string>& input_args,
                   child_input in = {}) {
    const int port = free_port();
    auto input = start_input_side(port, args({"-t", "2", "-G", "4"}, input_args), std::move(in));
    std::vector<std::unique_ptr<child_process>> peers;
    for (int g = 0; g < 4; ++g)
        peers.push_back(start_output_peer(g, port));
    // A piped standard input is fed from the first wait on the input side.
    expect_clean(input->wait(limit), "input side");
    for (int g = 0; g < 4; ++g) {
        const child_result r = peers[std::size_t(g)]->wait(limit);
        expect_clean(r, "peer " + std::to_string(g));
        EXPECT_TRUE(same_bytes(r.out, stream.payloads(std::uint16_t(g)))) << "peer " << g;
    }
}

// Reads until end of stream or a 10 second silence.
std::string read_all(int fd) {
    std::string data;
    char buf[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            break;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        data.append(buf, std::size_t(n));
    }
    return data;
}

void send_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return; // the peer went away; the test looks at what it reported
        done += std::size_t(n);
    }
}

// Plays the input side of one connection: accepts one output-side peer, takes its 8-byte
// handshake, sends `data` and closes (at whatever point `data` ends).
class fake_input_side {
public:
    explicit fake_input_side(std::string data) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("fake input side cannot listen");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, data = std::move(data)] { serve(data); });
    }
    ~fake_input_side() {
        join();
        ::close(listener_);
    }
    int port() const { return port_; }
    // The handshake bytes received, once the connection is done.
    std::string handshake() {
        join();
        return handshake_;
    }

private:
    void serve(const std::string& data) {
        pollfd p = {listener_, POLLIN, 0};
        if (::poll(&p, 1, 15000) <= 0)
            return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        char hs[8];
        std::size_t got = 0;
        while (got < sizeof hs) {
            pollfd q = {fd, POLLIN, 0};
            const ssize_t n = ::poll(&q, 1, 10000) > 0 ? ::read(fd, hs + got, sizeof hs - got) : 0;
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        handshake_.assign(hs, got);
        send_all(fd, data);
        ::close(fd);
    }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

    int listener_ = -1;
    int port_ = 0;
    std::string handshake_;
    std::thread thread_;
};

// A raw client that connects to `port`, sends `bytes` and returns its own address:port, which
// is how the server labels it.
struct raw_client {
    int fd = -1;
    std::string label;

    raw_client(int port, const std::string& bytes) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(std::uint16_t(port));
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("raw client cannot connect");
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        label = loopback(ntohs(addr.sin_port));
        send_all(fd, bytes);
    }
    ~raw_client() { ::close(fd); }
};

} // namespace

// ---------------------------------------------------------------------------------------------
// A stored stream, from every kind of source, served to peers asking for different groups.

enum class source { file, file_with_space, gzip_file, stdin_pipe, stdin_file };

class StoredStreamSource : public ::testing::TestWithParam<source> {};

TEST_P(StoredStreamSource, EachPeerGetsExactlyItsGroupsPayloads) {
    const temp_dir dir;
    const message_stream stream = mixed_stream();
    switch (GetParam()) {
    case source::file: {
        write_file(dir.file("stream.bin"), stream.bytes());
        expect_served(stream, {dir.file("stream.bin")});
        break;
    }
    case source::file_with_space: {
        write_file(dir.file("my stream.bin"), stream.bytes());
        expect_served(stream, {dir.file("my stream.bin")});
        break;
    }
    case source::gzip_file: {
        write_file(dir.file("stream"), stream.bytes());
        const child_result z =
            run({"/bin/sh", "-c", "gzip -c '" + dir.file("stream") + "' > '" + dir.file("s.gz") + "'"});
        ASSERT_EQ(z.exit_status, 0) << z.err;
        expect_served(stream, {dir.file("s.gz")}); // format detected from the name
        break;
    }
    case source::stdin_pipe:
        expect_served(stream, {}, {child_input::pipe, "", stream.bytes()});
        break;
    case source::stdin_file: {
        // A regular file on standard input, which the event loop cannot poll directly.
        write_file(dir.file("stream.bin"), stream.bytes());
        expect_served(stream, {}, {child_input::file, dir.file("stream.bin"), ""});
        break;
    }
    }
}

std::string source_name(const ::testing::TestParamInfo<source>& info) {
    const char* names[] = {"File", "FileWithSpace", "GzipFile", "StdinPipe", "StdinRegularFile"};
    return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Sources, StoredStreamSource,
                         ::testing::Values(source::file, source::file_with_space,
                                           source::gzip_file, source::stdin_pipe,
                                           source::stdin_file),
                         source_name);

// ---------------------------------------------------------------------------------------------
// Who listens and who connects.

TEST(Connections, OutputsListenAndTheInputSideConnectsToEach) {
    const temp_dir dir;
    message_stream stream;
    stream.add(1, "to one\n").add(0, "to zero\n").add(1, "again one\n").add(0, "");
    write_file(dir.file("stream.bin"), stream.bytes());

    const int port0 = free_port(), port1 = free_port();
    child_process out0(shuffler({"-g", "0", "-l", loopback(port0), "-t", "2"}));
    child_process out1(shuffler({"-g", "1", "-l", loopback(port1), "-t", "2"}));
    ASSERT_TRUE(wait_listening(port0));
    ASSERT_TRUE(wait_listening(port1));
    child_process input(shuffler({"-c", loopback(port0), "-c", loopback(port1), "-t", "1", "-G",
                                  "2", dir.file("stream.bin")}));

    expect_clean(input.wait(limit), "input side");
    const child_result r0 = out0.wait(limit), r1 = out1.wait(limit);
    expect_clean(r0, "output 0");
    expect_clean(r1, "output 1");
    EXPECT_EQ(r0.out, "to zero\n");
    EXPECT_EQ(r1.out, "to one\nagain one\n");
}

TEST(Connections, ConnectorStartedBeforeItsListenerGetsInOnARetry) {
    const temp_dir dir;
    message_stream stream;
    stream.add(0, "late but complete\n");
    write_file(dir.file("stream.bin"), stream.bytes());
    const int port = free_port();

    child_process peer(shuffler({"-g", "0", "-c", loopback(port), "-t", "10"}));
    // Deliberate: the peer's first attempt, made at once, must find nothing listening.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto input = start_input_side(port, {"-t", "3", dir.file("stream.bin")});

    expect_clean(input->wait(limit), "input side");
    const child_result r = peer.wait(limit);
    expect_clean(r, "peer");
    EXPECT_EQ(r.out, "late but complete\n");
}

TEST(Connections, RefusedUntilTheDeadlineIsOneLine) {
    const int port = free_port();
    const child_result r = run(shuffler({"-g", "0", "-c", loopback(port), "-t", "1"}), {}, limit);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), loopback(port) + ": Connection refused\n");
}

TEST(Connections, PeersOfOneGroupShareItsMessagesEachExactlyOnce) {
    constexpr int messages = 60, peer_count = 3;
    message_stream stream;
    std::vector<std::string> sent;
    for (int i = 0; i < messages; ++i) {
        char line[16];
        std::snprintf(line, sizeof line, "m%03d\n", i);
        stream.add(0, line);
        sent.emplace_back(line, 4);
    }
    const int port = free_port();
    auto input = start_input_side(port, {"-t", "2", "-G", "1"},
                                  {child_input::pipe, "", stream.bytes()});
    std::vector<std::unique_ptr<child_process>> peers;
    for (int i = 0; i < peer_count; ++i)
        peers.push_back(start_output_peer(0, port));
    // The messages arrive now, while the peers are (most likely) all waiting for them.
    expect_clean(input->wait(limit), "input side");

    std::vector<std::string> received;
    for (auto& peer : peers) {
        const child_result r = peer->wait(limit);
        expect_clean(r, "peer");
        std::istringstream lines(r.out);
        std::vector<std::string> mine;
        for (std::string line; std::getline(lines, line);)
            mine.push_back(line);
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end())) << "a peer got messages out of order";
        received.insert(received.end(), mine.begin(), mine.end());
    }
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, sent); // union is the input, nothing twice, nothing lost
}

// ---------------------------------------------------------------------------------------------
// The output side.

TEST(OutputSide, PayloadsGoThroughCatToAFileNamedOnTheCommandLine) {
    const temp_dir dir;
    message_stream stream;
    stream.add(2, "first\n").add(2, "").add(2, "second\n");
    write_file(dir.file("stream.bin"), stream.bytes());
    const int port = free_port();
    auto input = start_input_side(port, {"-t", "2", "-G", "3", dir.file("stream.bin")});
    auto peer = start_output_peer(2, port, {"-f", "fastq", dir.file("out put.txt")});

    expect_clean(input->wait(limit), "input side");
    const child_result r = peer->wait(limit);
    expect_clean(r, "peer");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir.file("out put.txt")), "first\nsecond\n");
}

TEST(OutputSide, HandshakeNamesTheGroupAndACleanCloseEndsQuietly) {
    for (const int group : {0, 3, 65535}) {
        SCOPED_TRACE(group);
        const std::string data = frame(7, "hello ") + frame(7, "") + frame(9, "world\n");
        fake_input_side server(data);
        const child_result r =
            run(shuffler({"-g", std::to_string(group), "-G", "65536", "-c",
                          loopback(server.port()), "-t", "10"}),
                {}, limit);
        // Whatever group a message names, the peer writes what it was sent.
        expect_clean(r, "peer");
        EXPECT_EQ(r.out, "hello world\n");
        EXPECT_EQ(server.handshake(), header_bytes(0, std::uint16_t(group),
                                                   std::uint16_t(0xffff - group % 65535)));
    }
}

TEST(OutputSide, StreamCutShortOrCorruptIsOneLineAndNoPartialMessage) {
    const std::string whole = frame(0, "complete\n");
    const std::string next = frame(0, "PARTIAL-PAYLOAD\n");
    const struct {
        const char* name;
        std::string data;
        std::string text;
    } cases[] = {
        {"inside payload", whole + next.substr(0, 8 + 7), "ended inside a message"},
        {"inside header", whole + next.substr(0, 5), "ended inside a message"},
        {"bad header", whole + header_bytes(3, 0, 0) + "abc", "Bad message header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_input_side server(c.data);
        const child_result r =
            run(shuffler({"-g", "0", "-c", loopback(server.port()), "-t", "10"}), {}, limit);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 255);
        const std::string err = without_timing(r.err);
        EXPECT_EQ(line_count(err), 1u) << err;
        EXPECT_EQ(err.rfind(loopback(server.port()) + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
        EXPECT_EQ(r.out.find("PARTIAL"), std::string::npos);
        EXPECT_EQ(r.out.find("abc"), std::string::npos);
        EXPECT_EQ(std::string("complete\n").rfind(r.out, 0), 0u) << r.out;
    }
}

TEST(OutputSide, ReaderGoingAwayIsAWriteErrorNotADeathBySignal) {
    // Far more than a pipe holds, so writes are still due when the reader closes.
    std::string data;
    for (int i = 0; i < 3; ++i)
        data += frame(0, std::string(1 << 20, char('a' + i)));
    fake_input_side server(data);
    child_process peer(shuffler({"-g", "0", "-c", loopback(server.port()), "-t", "10"}), {},
                       {child_output::pipe});
    char first = 0;
    pollfd p = {peer.output_reader(), POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 15000), 0);
    ASSERT_EQ(::read(peer.output_reader(), &first, 1), 1);
    EXPECT_EQ(first, 'a');
    peer.close_output_reader();

    const child_result r = peer.wait(limit);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    const std::string err = without_timing(r.err);
    EXPECT_EQ(line_count(err), 1u) << err;
    EXPECT_EQ(err.rfind("pipe command '", 0), 0u) << err;
    EXPECT_NE(err.find("Broken pipe"), std::string::npos) << err;
}

TEST(OutputSide, UnknownFormatIsOneLineAndNotAFailure) {
    const child_result r = run(
        shuffler({"-g", "0", "-l", loopback(free_port()), "-t", "0", "-f", "message"}), {}, limit);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(without_timing(r.err), "Unknown output format message\n");
}

// ---------------------------------------------------------------------------------------------
// Failures on the input side.

TEST(InputSide, UnclaimedGroupHoldingAMessageIsReportedAtTheDeadline) {
    const temp_dir dir;
    message_stream stream;
    stream.add(3, "nobody wants me\n");
    write_file(dir.file("stream.bin"), stream.bytes());
    // Groups 0, 1, 2 and 4 are unclaimed too, but empty: no line for them.
    const child_result r =
        run(shuffler({"-l", loopback(free_port()), "-t", "1", "-G", "5", dir.file("stream.bin")}),
            {}, limit);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), "Unattended group 3\n");
}

TEST(InputSide, BadHandshakesAreReportedWithThePeersAddress) {
    const struct {
        const char* name;
        std::string bytes;
        std::string text;
    } cases[] = {
        {"garbage", "\x01\x02\x03\x04\x05\x06\x07\x08", "Bad handshake message"},
        {"flipped check bit", header_bytes(0, 1, std::uint16_t(0xfffe ^ 0x0100)),
         "Bad handshake message"},
        // The check balances, but a handshake carries no payload.
        {"nonzero length", valid_header(5, 1), "Bad handshake message"},
        {"group equal to the table size", handshake_bytes(4), "Group id exceeds maximum"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = free_port();
        // A deadline far away: the run must stop at the error, not at the deadline.
        auto input = start_input_side(port, {"-t", "30", "-G", "4"});
        const raw_client client(port, c.bytes);
        EXPECT_EQ(read_all(client.fd), ""); // closed without a byte sent
        const child_result r = input->wait(std::chrono::seconds(15));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(without_timing(r.err), client.label + ": " + c.text + "\n");
    }
}

TEST(InputSide, DamagedStoredStreamStopsTheRunWithOneLine) {
    const temp_dir dir;
    const std::string good = frame(0, "fine\n");
    const struct {
        const char* name;
        std::string bytes;
        std::string text;
        bool exact;
    } cases[] = {
        {"bad header", good + header_bytes(4, 0, 0) + "oops", "Bad message header", true},
        {"flipped length bit", good + header_bytes(5 ^ 0x10000, 0, 0xfffa) + "fine\n",
         "Bad message header", true},
        {"group beyond the table", good + frame(4, "x"), "Group id exceeds maximum", true},
        {"cut inside a payload", good + frame(1, "truncated").substr(0, 12),
         "ended inside a message", false},
        {"cut inside a header", good + frame(1, "truncated").substr(0, 5),
         "ended inside a message", false},
        // No pool could ever hold it: refused at once rather than waiting for memory forever.
        {"longer than the pool", good + valid_header(0x40000000, 0) + "short", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("damaged.bin");
        write_file(path, c.bytes);
        const int port = free_port();
        // Group 0 is claimed by nobody either; the damage must be what stops the run, long
        // before the deadline.
        auto input = start_input_side(port, {"-t", "30", "-G", "4", path}, {}, false);
        const child_result r = input->wait(std::chrono::seconds(15));
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 255);
        const std::string err = without_timing(r.err);
        const std::string subject = "pipe command 'cat " + path + " |': ";
        if (c.exact) {
            EXPECT_EQ(err, subject + c.text + "\n");
        } else {
            EXPECT_EQ(line_count(err), 1u) << err;
            EXPECT_EQ(err.rfind(subject, 0), 0u) << err;
            EXPECT_NE(err.find(c.text), std::string::npos) << err;
        }
    }
}

TEST(InputSide, FailingDecompressorIsReportedWithItsStatus) {
    const temp_dir dir;
    // Named like a compressed stream, so the format is detected as gzip, but plain text.
    const std::string path = dir.file("plain.gz");
    write_file(path, "this is not compressed\n");
    const child_result r =
        run(shuffler({"-l", loopback(free_port()), "-t", "30", path}), {}, std::chrono::seconds(15));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    // gzip says why on the shared standard error; its exit status 1 is wait status 256.
    const std::string line = "pipe command 'gzip -dc " + path + " |' terminated with status 256\n";
    const std::string err = without_timing(r.err);
    ASSERT_GE(err.size(), line.size()) << err;
    EXPECT_EQ(err.substr(err.size() - line.size()), line) << err;
    EXPECT_NE(err.find("not in gzip format"), std::string::npos) << err;
}

TEST(InputSide, ConfigurationErrorsAreOneLineAndNotAFailure) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"-f", "bogus"}, "Unknown input format bogus\n"},
        {{"-f", "text", "a.bin"}, "Unknown input format text\n"},
        {{"a.bin", "b.bin", "c.bin"}, "Too many input files\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const child_result r =
            run(shuffler(args({"-l", loopback(free_port()), "-t", "0"}, c.args)), {}, limit);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(without_timing(r.err), c.line);
    }
}

} // namespace shuffler_test
