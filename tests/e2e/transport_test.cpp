// End-to-end runs of the real binary over loopback: stored message streams served to output-side
// peers, both directions of connection, and the failures a run must report in one line.

#include "e2e/message_stream.hpp"
#include "e2e/pair_job.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace shuffler_test {
namespace {

// Bound for every wait on a process: a hang fails the test instead of stalling the suite.
constexpr std::chrono::seconds limit(60);

// Exit status `status` and, but for the timing report, standard error that matches `lines`,
// where a '*' stands for any text within a line.
::testing::AssertionResult ended_with(const child_result& r, int status, const std::string& lines) {
    std::string pattern;
    for (const char c : lines + "\n") {
        if (c == '*') {
            pattern += "[^\n]*";
        } else {
            if (std::strchr("\\^$.|?+()[]{}", c))
                pattern += '\\';
            pattern += c;
        }
    }
    const std::string err = without_timing(r.err);
    if (r.exit_status == status && std::regex_match(err, std::regex(pattern)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit status " << r.exit_status << "; stderr: " << err;
}

// Plays the input side of one connection: accepts one output-side peer, sends `data` whatever
// it holds, closes its sending side and reads until the peer closes. No wait needs a bound of
// its own: a peer that ends, or is killed at its bound, closes the connection.
struct fake_input_side {
    int port = 0;
    int listener = loopback_socket(0, port);
    std::future<std::string> served;

    explicit fake_input_side(std::string data) {
        served = std::async(std::launch::async, [this, data = std::move(data)] {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return std::string();
            write_all(fd, data); // stops when the peer goes; the test looks at what it reported
            ::shutdown(fd, SHUT_WR);
            std::string received;
            char buffer[4096];
            for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                received.append(buffer, std::size_t(got));
            ::close(fd);
            return received;
        });
    }
    // What the peer sent (its handshake, then its acknowledgements); call once the peer has
    // ended. A peer that never connected gets "".
    std::string received() {
        ::shutdown(listener, SHUT_RDWR); // wakes an accept still waiting
        return served.get();
    }
    ~fake_input_side() {
        if (served.valid())
            received();
        ::close(listener);
    }
};

// A stored stream, from each kind of source, served to peers asking for different groups.

class StoredStream : public ::testing::TestWithParam<const char*> {};

TEST_P(StoredStream, EachPeerGetsExactlyItsGroupsPayloads) {
    // Groups 0, 1 and 3 of four, header-only messages in between and one payload larger than a
    // 4 MiB pool block; group 2 stays empty.
    message_stream stream;
    stream.add(0, "alpha\n")
        .add(1, "one\n")
        .add(0, "")
        .add(3, "three")
        .add(0, "beta\n")
        .add(1, std::string(4 * 1024 * 1024 + 100, 'x') + "end\n")
        .add(3, "")
        .add(0, "gamma\n")
        .add(3, "-more\n");
    const temp_dir dir;
    const std::string source = GetParam(), path = dir.file("stream.bin");
    write_file(path, stream.bytes());
    std::vector<std::string> args = {"-G", "4"};
    child_input in;
    if (source == "File") {
        args.push_back(path);
    } else if (source == "GzipFile") {
        ASSERT_EQ(run({"/bin/sh", "-c", "gzip -n " + path}).exit_status, 0);
        args.push_back(path + ".gz"); // the format is detected from the name
    } else if (source == "GzipStdinPipe") {
        ASSERT_EQ(run({"/bin/sh", "-c", "gzip -n " + path}).exit_status, 0);
        args.insert(args.end(), {"-f", "gzip"});
        in = {child_input::pipe, read_file(path + ".gz")};
    } else if (source == "GzipZeroPadded") {
        // As a tape or block device leaves it: zeros to the end of the last record.
        ASSERT_EQ(run({"/bin/sh", "-c", "gzip -n " + path}).exit_status, 0);
        const std::string gz = read_file(path + ".gz");
        write_file(path + ".gz", gz + std::string(10240 - gz.size() % 10240, '\0'));
        args.push_back(path + ".gz");
    } else if (source == "StdinPipe") {
        in = {child_input::pipe, stream.bytes()};
    } else {
        in = {child_input::file, path}; // a regular file, which the event loop cannot poll
    }
    const job_result job = run_job(args, {0, 1, 2, 3}, std::move(in));
    EXPECT_TRUE(job_ended_cleanly(job));
    for (std::uint16_t g = 0; g < 4; ++g)
        EXPECT_TRUE(job.workers[g].out == stream.payloads(g))
            << "group " << g << ": " << job.workers[g].out.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Sources, StoredStream,
                         ::testing::Values("File", "GzipFile", "GzipStdinPipe", "GzipZeroPadded",
                                           "StdinPipe", "StdinRegularFile"),
                         [](const auto& info) { return std::string(info.param); });

// Who listens and who connects.

TEST(Connections, OutputsListenAndTheInputSideConnectsToEach) {
    const temp_dir dir;
    message_stream stream;
    stream.add(1, "to one\n").add(0, "to zero\n").add(1, "again one\n").add(0, "");
    write_file(dir.file("stream.bin"), stream.bytes());
    const std::string file0 = dir.file("0.port"), file1 = dir.file("1.port");
    child_process out0(shuffler({"-g", "0", "-l", any_loopback_port, "--port-file", file0,
                                 "--insecure", "-t", "60"}));
    child_process out1(shuffler({"-g", "1", "-l", any_loopback_port, "--port-file", file1,
                                 "--insecure", "-t", "60"}));
    // The input side waits for the port files; each output ends at its end mark.
    EXPECT_TRUE(ended_cleanly(run(shuffler({"-c", "@" + file0, "-c", "@" + file1, "--insecure",
                                            "-t", "60", "-G", "2", dir.file("stream.bin")}),
                                  {}, limit)));
    const child_result r0 = out0.wait(limit), r1 = out1.wait(limit);
    EXPECT_TRUE(ended_cleanly(r0));
    EXPECT_TRUE(ended_cleanly(r1));
    EXPECT_EQ(r0.out, "to zero\n");
    EXPECT_EQ(r1.out, "to one\nagain one\n");
}

TEST(Connections, ConnectorStartedBeforeItsListenerGetsInOnARetry) {
    const temp_dir dir;
    write_file(dir.file("stream.bin"), frame(0, "late but complete\n"));
    // Held, not listening: the peer's attempts are refused until the input side listens there
    // too, and no other test can take the port meanwhile.
    const reserved_port port;
    child_process peer(shuffler({"-g", "0", "-c", port.address(), "-t", "60"}));
    // Gives the peer time for its first attempts, which find nothing listening. Nothing depends
    // on it: had the peer not tried yet, it would simply connect at its first attempt.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    child_process input(
        shuffler({"-l", port.address(), "-w", "1", "-t", "60", dir.file("stream.bin")}));
    EXPECT_TRUE(ended_cleanly(input.wait(limit)));
    const child_result r = peer.wait(limit);
    EXPECT_TRUE(ended_cleanly(r));
    EXPECT_EQ(r.out, "late but complete\n");
}

TEST(Connections, PeersOfOneGroupShareItsMessagesEachExactlyOnce) {
    message_stream stream;
    std::vector<std::string> sent;
    for (int i = 100; i < 160; ++i) {
        sent.push_back("m" + std::to_string(i));
        stream.add(0, sent.back() + "\n");
    }
    // Piped: the messages arrive while the peers (most likely) all wait for them.
    const job_result job = run_job({"-G", "1"}, {0, 0, 0}, {child_input::pipe, stream.bytes()});
    EXPECT_TRUE(job_ended_cleanly(job));
    std::vector<std::string> received;
    for (const child_result& w : job.workers) {
        std::istringstream lines(w.out);
        std::vector<std::string> mine;
        for (std::string line; std::getline(lines, line);)
            mine.push_back(line);
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end())) << "a peer got messages out of order";
        received.insert(received.end(), mine.begin(), mine.end());
    }
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, sent); // nothing twice, nothing lost
}

// The output side.

TEST(OutputSide, PayloadsGoToAFileNamedOnTheCommandLineWithoutAnyProgram) {
    const temp_dir dir;
    message_stream stream;
    stream.add(2, "first\n").add(2, "").add(2, "second\n");
    write_file(dir.file("stream.bin"), stream.bytes());
    // An empty PATH: the file is written by the worker itself, under any name.
    const job_result job = run_job({"-G", "3", dir.file("stream.bin")}, {2}, {},
                                   {"-f", "fastq", dir.file("out put.txt")}, true);
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_EQ(job.workers[0].out, "");
    EXPECT_EQ(read_file(dir.file("out put.txt")), "first\nsecond\n");
}

TEST(OutputSide, DevicesAreWrittenInPlaceAndAFullOneIsOneLine) {
    const temp_dir dir;
    message_stream stream;
    stream.add(0, std::string(3 << 20, 'x')); // more than a pipe holds
    write_file(dir.file("stream.bin"), stream.bytes());
    const job_result fine = run_job({dir.file("stream.bin")}, {0}, {}, {"/dev/null"}, true);
    EXPECT_TRUE(job_ended_cleanly(fine));
    struct stat st;
    EXPECT_TRUE(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode)) << "/dev/null was replaced";
    {
        // The worker fails; its input side, whose data then has nowhere to go, is stopped.
        const temp_dir rendezvous;
        const std::string port_file = rendezvous.file("job.port");
        child_process input(listening_input(port_file, 1, {"--insecure", dir.file("stream.bin")}));
        const child_result full =
            run(worker_args("@" + port_file, 0, {"--insecure", "/dev/full"}), {}, limit);
        input.signal(SIGTERM);
        input.wait(limit);
        EXPECT_TRUE(ended_with(full, 255, "/dev/full: write error: No space left on device"))
            << full.err;
    }
    // Standard output redirected to the full device: the line names it.
    fake_input_side server(frame(0, "hello\n") + frame(0, ""));
    const child_result redirected =
        run({"/bin/sh", "-c",
             shuffler_binary() + " -g 0 -t 10 -c " + loopback(server.port) + " >/dev/full"},
            {}, limit);
    EXPECT_EQ(redirected.exit_status, 255);
    EXPECT_NE(without_timing(redirected.err)
                  .find("standard output: write error: No space left on device\n"),
              std::string::npos)
        << redirected.err;
    EXPECT_EQ(without_timing(redirected.err).find("\n: "), std::string::npos) << redirected.err;
    EXPECT_NE(without_timing(redirected.err).rfind(": ", 0), 0u) << redirected.err;
}

TEST(OutputSide, HandshakeThenOneAcknowledgementPerMessageAndTheEndMarkEndsQuietly) {
    for (const int group : {3, 65535}) {
        SCOPED_TRACE(group);
        const auto g = std::uint16_t(group);
        fake_input_side server(frame(g, "hello ") + frame(g, "wor") + frame(g, "ld\n") +
                               frame(g, ""));
        const child_result r = run(shuffler({"-g", std::to_string(group), "-G", "65536", "-c",
                                             loopback(server.port), "-t", "10"}),
                                   {}, limit);
        EXPECT_TRUE(ended_cleanly(r));
        EXPECT_EQ(r.out, "hello world\n");
        const std::string own = valid_header(0, std::uint16_t(group));
        EXPECT_EQ(own, header_bytes(0, std::uint16_t(group), std::uint16_t(0xffff - group % 65535)));
        EXPECT_EQ(server.received(), own + own + own + own + own) << "handshake and four acks";
    }
}

// The output is finished at the end mark, before it is acknowledged: data after it is a protocol
// error, never written to an output already closed.
TEST(OutputSide, DataAfterTheEndMarkIsAProtocolError) {
    fake_input_side server(frame(0, "hello ") + frame(0, "") + frame(0, "world\n") + frame(0, ""));
    const child_result r =
        run(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "10"}), {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_NE(without_timing(r.err).find("protocol error: data after the end mark"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("world"), std::string::npos);
}

TEST(OutputSide, ConnectionClosedWithoutTheEndMarkIsAFailure) {
    // The input side died at a message boundary: what came is written, but the run fails.
    fake_input_side server(frame(0, "some\n"));
    const child_result r =
        run(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "10"}), {}, limit);
    EXPECT_TRUE(ended_with(r, 255,
                           loopback(server.port) + ": connection closed before the end of data"));
    EXPECT_EQ(r.out, "some\n");
}

TEST(OutputSide, StreamCutShortOrCorruptIsOneLineAndNoPartialMessage) {
    const std::string whole = frame(0, "complete\n"), next = frame(0, "PARTIAL\n");
    const std::pair<std::string, std::string> cases[] = {
        {whole + next.substr(0, 8 + 3), "connection closed before the end of data"},
        {whole + next.substr(0, 5), "connection closed before the end of data"},
        {whole + header_bytes(3, 0, 0) + "abc", "Bad message header"},
    };
    for (const auto& [data, text] : cases) {
        SCOPED_TRACE(text);
        fake_input_side server(data);
        const child_result r =
            run(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "10"}), {}, limit);
        EXPECT_TRUE(ended_with(r, 255, loopback(server.port) + ": *" + text));
        EXPECT_EQ(std::string("complete\n").rfind(r.out, 0), 0u) << r.out;
    }
}

// A worker splices payloads into pipes until each is whole; one larger than its pipes hold goes
// on through pool blocks. Either way the output gets whole messages or nothing of them.
TEST(OutputSide, AMessageLargerThanItsPipesArrivesWholeOrNotAtAll) {
    std::string large(40 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = char('A' + (i * 31 + i / 8191) % 26);
    const std::string message = frame(0, large);
    {
        fake_input_side server(frame(0, "first\n") + message + frame(0, ""));
        const child_result r =
            run(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "20"}), {}, limit);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_TRUE(r.out == "first\n" + large) << r.out.size() << " bytes";
    }
    {
        fake_input_side server(frame(0, "first\n") + message.substr(0, 30 << 20));
        const child_result r =
            run(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "20"}), {}, limit);
        EXPECT_TRUE(ended_with(r, 255, loopback(server.port) +
                                           ": connection closed before the end of data"));
        EXPECT_EQ(r.out, "first\n");
    }
}

// A worker writes only its own group: another group's message or end mark is a protocol
// error, and nothing of that message reaches the output.
TEST(OutputSide, AnotherGroupsMessageOrEndMarkIsAProtocolError) {
    const std::pair<std::string, int> cases[] = {
        {frame(0, "mine\n") + frame(7, "yours\n") + frame(0, ""), 7},
        {frame(0, "mine\n") + frame(300, "yours\n") + frame(0, ""), 300},
        {frame(0, "mine\n") + frame(9, ""), 9},
    };
    for (const auto& [data, other] : cases) {
        SCOPED_TRACE(other);
        fake_input_side server(data);
        const child_result r = run(shuffler({"-g", "0", "-G", "1024", "-c",
                                             loopback(server.port), "-t", "10"}),
                                   {}, limit);
        EXPECT_TRUE(ended_with(r, 255, loopback(server.port) + ": protocol error: a message of group " +
                                           std::to_string(other) + " on a connection for group 0"));
        EXPECT_EQ(r.out, "mine\n");
    }
}

// Hostile or broken input sides cannot hold a worker: one that announces a 60 MiB message, sends
// 10 MiB of it and closes fails the worker at once; one that sends nothing at all fails it at
// its deadline.
TEST(OutputSide, AnInputSideThatStopsOrNeverSpeaksCannotHoldAWorker) {
    {
        fake_input_side server(valid_header(60u << 20, 0) + std::string(10u << 20, 'x'));
        // Killed at its bound, long before its deadline, a worker that waited would end 137.
        const child_result r = run(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "120"}),
                                   {}, std::chrono::seconds(60));
        EXPECT_TRUE(ended_with(r, 255, loopback(server.port) +
                                           ": connection closed before the end of data"));
        EXPECT_EQ(r.out, "");
    }
    {
        // A listener that never accepts: the kernel completes the connection, and nothing comes.
        int port = 0;
        const int silent = loopback_socket(0, port);
        const child_result r =
            run(shuffler({"-g", "0", "-c", loopback(port), "-t", "2"}), {}, limit);
        ::close(silent);
        EXPECT_TRUE(ended_with(r, 255, loopback(port) + ": nothing received before the deadline"));
    }
}

// A worker whose consumer has stalled still notices that its input side has gone before the
// end of data, once the bytes it sent have all arrived, instead of waiting for the consumer; one
// whose sender closed right after its end mark waits and succeeds. (Six messages of 256 KiB: four
// fill the widened 1 MiB pipe, two the window; what is left, a cut-off message or an end mark,
// fits any socket buffer, so the close reaches the worker.)
TEST(OutputSide, AStalledWorkerNoticesAnInputSideThatClosedBeforeTheEnd) {
    std::string data;
    for (char c : {'a', 'b', 'c', 'd', 'e', 'f'})
        data += frame(0, std::string(256 << 10, c));
    for (const bool end_mark : {false, true}) {
        SCOPED_TRACE(end_mark ? "with its end mark" : "cut off inside a message");
        const std::string last = frame(0, std::string(20 << 10, 'g'));
        fake_input_side server(data + (end_mark ? frame(0, "") : last.substr(0, 10 << 10)));
        child_process peer(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "30"}), {},
                           true);
        ASSERT_TRUE(readable(peer.output_reader(), std::chrono::seconds(30)));
        if (!end_mark) {
            // Nobody reads the output: a worker that waited for its consumer would be killed at
            // the bound (137).
            EXPECT_TRUE(ended_with(peer.wait(std::chrono::seconds(25)), 255,
                                   loopback(server.port) +
                                       ": connection closed before the end of data"));
            continue;
        }
        // Two looks of the watch while stalled, then the consumer reads everything. (The pause
        // only lets the watch look; the outcome does not depend on its length.)
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        std::string out;
        char buffer[65536];
        for (ssize_t got; (got = ::read(peer.output_reader(), buffer, sizeof buffer)) > 0;)
            out.append(buffer, std::size_t(got));
        EXPECT_TRUE(ended_cleanly(peer.wait(limit)));
        EXPECT_EQ(out.size(), 6u * (256 << 10));
    }
}

// The same with a real input side, over plain TCP and over TLS (whose bytes cannot be looked
// into), its worker's consumer stalled (a command that reads nothing yet, or a FIFO nobody has
// opened): once the worker holds its full window, SIGKILL of the input side ends the worker with
// 255 at once, not when its consumer drains or the kernel gives up on the link.
class StalledConsumer : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(StalledConsumer, SeesTheInputSideKilled) {
    const auto [tls, fifo] = GetParam();
    const temp_dir dir;
    message_stream stream;
    for (char c : {'a', 'b', 'c', 'd'})
        stream.add(0, std::string(2 << 20, c)); // each more than the consumer's pipe holds
    write_file(dir.file("in.msg"), stream.bytes());
    const std::string port = dir.file("job.port"), out = dir.file("out");
    std::vector<std::string> args = {"-l", "127.0.0.1:0", "--port-file", port, "-w", "1",
                                     "-t", "60", dir.file("in.msg")};
    if (!tls)
        args.push_back("--insecure");
    child_process input(shuffler(args));
    if (fifo) {
        ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    }
    const std::string output = fifo ? out : "| (sleep 300; cat) > " + out;
    std::vector<std::string> worker_args = {"-g", "0", "-c", "@" + port, "-t", "60",
                                            "--progress", output};
    if (!tls)
        worker_args.push_back("--insecure");
    // Standard error in a file of the test's, to see the worker's window fill while it runs.
    const std::string err = dir.file("worker.err");
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>" + err, "sh"};
    for (const std::string& a : shuffler(worker_args))
        argv.push_back(a);
    child_process worker(argv);
    // Two whole messages taken, the first stuck in the full pipe: the window is full.
    ASSERT_TRUE(eventually([&] { return read_file(err).find(", 2 messages;") != std::string::npos; },
                           std::chrono::seconds(30)))
        << read_file(err);
    input.signal(SIGKILL);
    const child_result w = worker.wait(std::chrono::seconds(45)); // catches only a hang
    EXPECT_EQ(w.exit_status, 255);
    EXPECT_NE(read_file(err).find(": connection closed before the end of data\n"),
              std::string::npos)
        << read_file(err);
}

// An input side that fails (rather than dies) while its worker's window is full: its abort waits
// unread behind nothing, as the worker's reader waits for room; the worker still learns the
// reason, not only that the connection closed. Over TLS the worker takes the rest of the stream
// to find it, since encrypted bytes cannot be looked into.
TEST(StalledConsumerEitherTransport, LearnsWhyItsInputSideFailed) {
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        const std::vector<std::string> mode =
            tls ? std::vector<std::string>{} : std::vector<std::string>{"--insecure"};
        const temp_dir dir;
        message_stream stream;
        for (char c : {'a', 'b', 'c', 'd'})
            stream.add(0, std::string(2 << 20, c)); // each more than the consumer's pipe holds
        write_file(dir.file("in.msg"), stream.bytes());
        const std::string port = dir.file("job.port"), out = dir.file("out"), go = dir.file("go");
        // On its standard input, its messages, then, once the test says so, half a header: a
        // truncated stream.
        std::vector<std::string> input_argv = {
            "/bin/sh", "-c",
            "(cat " + dir.file("in.msg") + "; while [ ! -e " + go +
                " ]; do sleep 0.05; done; printf abc) | \"$@\"",
            "sh"};
        std::vector<std::string> input_args = {"-l", "127.0.0.1:0", "--port-file", port,
                                               "-w", "1", "-t", "60", "-f", "message"};
        input_args.insert(input_args.end(), mode.begin(), mode.end());
        for (const std::string& a : shuffler(input_args))
            input_argv.push_back(a);
        child_process input(input_argv);
        const std::string err = dir.file("worker.err");
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>" + err, "sh"};
        std::vector<std::string> worker_args = {"-g", "0", "-c", "@" + port, "-t", "60",
                                                "--progress", "| (sleep 300; cat) > " + out};
        worker_args.insert(worker_args.end(), mode.begin(), mode.end());
        for (const std::string& a : shuffler(worker_args))
            argv.push_back(a);
        child_process worker(argv);
        ASSERT_TRUE(eventually(
            [&] { return read_file(err).find(", 2 messages;") != std::string::npos; },
            std::chrono::seconds(30)))
            << read_file(err);
        write_file(go, "");
        const child_result in = input.wait(std::chrono::seconds(45)); // catches only a hang
        EXPECT_EQ(in.exit_status, 255);
        const child_result w = worker.wait(std::chrono::seconds(45));
        EXPECT_EQ(w.exit_status, 255);
        const std::string worker_err = read_file(err);
        EXPECT_NE(worker_err.find(": input side failed: "), std::string::npos) << worker_err;
        EXPECT_EQ(worker_err.find("connection closed before the end of data"), std::string::npos)
            << worker_err;
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, StalledConsumer,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "Tls" : "Plain") +
                                    (std::get<1>(info.param) ? "Fifo" : "Command");
                         });

TEST(OutputSide, ReaderGoingAwayIsAWriteErrorNotADeathBySignal) {
    // Far more than a pipe holds, so writes are still due when the reader closes.
    std::string data;
    for (char c : {'a', 'b', 'c'})
        data += frame(0, std::string(1 << 20, c));
    fake_input_side server(data);
    child_process peer(shuffler({"-g", "0", "-c", loopback(server.port), "-t", "10"}), {}, true);
    pollfd p = {peer.output_reader(), POLLIN, 0};
    char first = 0;
    ASSERT_GT(::poll(&p, 1, 60000), 0);
    ASSERT_EQ(::read(peer.output_reader(), &first, 1), 1);
    EXPECT_EQ(first, 'a');
    peer.close_output_reader();
    EXPECT_TRUE(ended_with(peer.wait(limit), 255, "standard output closed by its reader"));
}

// Failures on the input side.

TEST(InputSide, StrayConnectionsAreDroppedWithANoticeAndTheJobGoesOn) {
    const temp_dir dir;
    message_stream stream;
    stream.add(1, "payload\n");
    write_file(dir.file("stream.bin"), stream.bytes());
    const std::string port_file = dir.file("job.port");
    // A deadline far away: with its one worker served, the run ends long before it.
    child_process input(shuffler({"-l", any_loopback_port, "--port-file", port_file, "--insecure",
                                  "-t", "60", "-G", "4", "-w", "1", dir.file("stream.bin")}));
    const int port = port_of(listener_address(port_file));
    ASSERT_NE(port, 0) << "the input side wrote no port file";
    const std::pair<std::string, std::string> strays[] = {
        {header_bytes(0, 1, std::uint16_t(0xfffe ^ 0x0100)), "Bad handshake message"},
        {valid_header(5, 1), "Bad handshake message"}, // balanced, but a handshake has no payload
        {"", "closed before its handshake"},              // a port scan: connect and close
        {"abc", "closed before its handshake"},
    };
    std::string notices;
    for (const auto& [bytes, text] : strays) {
        int own_port = 0;
        const int fd = loopback_socket(port, own_port);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::shutdown(fd, SHUT_WR);
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "a reply instead of a close";
        ::close(fd);
        notices += loopback(own_port) + ": " + text + "; connection dropped\n";
    }
    {
        // A group beyond the table (-G 4) is no stray: it is refused with the reason, and the
        // job goes on.
        int own_port = 0;
        const int fd = loopback_socket(port, own_port);
        const std::string handshake = valid_header(0, 4);
        ::send(fd, handshake.data(), handshake.size(), MSG_NOSIGNAL);
        const std::string reason = "group 4 does not exist: this job produces groups 0 to 3";
        std::string reply(8 + reason.size() + 1, '\0');
        std::size_t got = 0;
        for (ssize_t n; got < reply.size() && (n = ::recv(fd, &reply[got], reply.size() - got,
                                                          0)) > 0;)
            got += std::size_t(n);
        ::close(fd);
        EXPECT_EQ(reply.substr(0, got), valid_header(std::uint32_t(reason.size()), 0xfffb) + reason);
        notices += loopback(own_port) + ": asked for group 4, but this job produces groups 0 to 3"
                                        "; refused\n";
    }
    const child_result worker =
        run(shuffler({"-g", "1", "-c", loopback(port), "-t", "30"}), {}, limit);
    EXPECT_TRUE(ended_cleanly(worker));
    EXPECT_EQ(worker.out, "payload\n");
    const child_result r = input.wait(limit);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(without_timing(r.err), notices);
}

TEST(InputSide, PeerThatNeverNamesItsGroupCannotKeepTheRunAlive) {
    const temp_dir dir;
    const std::string port_file = dir.file("job.port");
    // Nothing to serve: the run ends at its deadline, which leaves the test ample time to
    // connect, but for the silent peer.
    child_process input(shuffler(
        {"-l", any_loopback_port, "--port-file", port_file, "--insecure", "-t", "10"}));
    const int port = port_of(listener_address(port_file));
    ASSERT_NE(port, 0) << "the input side wrote no port file";
    int own_port = 0;
    const int fd = loopback_socket(port, own_port); // connects, then stays silent
    // Dropped 10 s after connecting, however near or far the run's deadline; only a notice.
    const child_result r = input.wait(std::chrono::seconds(60));
    ::close(fd);
    EXPECT_TRUE(ended_with(
        r, 0, loopback(own_port) + ": No handshake before the deadline; connection dropped"));
}

TEST(InputSide, ASilentConnectionDoesNotHoldAFinishedRunOpenUntilItsDeadline) {
    const temp_dir dir;
    message_stream stream;
    stream.add(0, "payload\n");
    write_file(dir.file("stream.bin"), stream.bytes());
    const std::string port_file = dir.file("job.port");
    child_process input(shuffler({"-l", any_loopback_port, "--port-file", port_file, "--insecure",
                                  "-t", "300", "-w", "1", dir.file("stream.bin")}));
    const int port = port_of(listener_address(port_file));
    ASSERT_NE(port, 0) << "the input side wrote no port file";
    int own_port = 0;
    const int fd = loopback_socket(port, own_port); // connects, then stays silent
    const child_result worker =
        run(shuffler({"-g", "0", "-c", loopback(port), "-t", "30"}), {}, limit);
    EXPECT_TRUE(ended_cleanly(worker));
    // Bounded far before the deadline: a run held open until then is killed (137).
    const child_result r = input.wait(std::chrono::seconds(60));
    ::close(fd);
    EXPECT_TRUE(ended_with(
        r, 0, loopback(own_port) + ": No handshake before the deadline; connection dropped"));
}

TEST(InputSide, ProducerStuckOnAFullPoolEndsInItsReportNotACrash) {
    // Tiny blocks, one pool block each: nobody takes them, so the pool fills and the dicer waits
    // for blocks when the run ends.
    const temp_dir dir;
    std::string fastq;
    for (int i = 0; i < 2000; ++i)
        fastq += "@r" + std::to_string(i) + "\n" + std::string(150, 'A') + "\n+\n" +
                 std::string(150, 'I') + "\n";
    write_file(dir.file("r.fq"), fastq);
    const child_result r = run(
        shuffler({"-l", any_loopback_port, "-t", "1", "-O", "blksize=100", dir.file("r.fq")}),
        {}, limit);
    EXPECT_EQ(r.exit_status, 255) << r.err;
    EXPECT_EQ(r.err.rfind("Unattended group 0\n", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("Internal Program Error"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nchildren user "), std::string::npos) << r.err;
}

TEST(InputSide, ADamagedGzipInputIsOneLineNamingTheFile) {
    const temp_dir dir;
    std::string fastq;
    for (int i = 0; i < 20000; ++i)
        fastq += "@r" + std::to_string(i) + "\n" + std::string(100, "ACGT"[i % 4]) + "\n+\n" +
                 std::string(100, 'I') + "\n";
    write_file(dir.file("good.fq"), fastq);
    ASSERT_EQ(run({"/bin/sh", "-c", "gzip -n " + dir.file("good.fq")}).exit_status, 0);
    const std::string good = read_file(dir.file("good.fq.gz"));
    // Cut at a record boundary's worth of data or not, a truncated file is never a clean end.
    write_file(dir.file("cut.fq.gz"), good.substr(0, good.size() - 4));
    std::string bad_checksum = good;
    bad_checksum[bad_checksum.size() - 8] ^= 1;
    write_file(dir.file("sum.fq.gz"), bad_checksum);
    write_file(dir.file("plain.gz"), "this is not compressed\n");
    std::string reserved_flag = good;
    reserved_flag[3] |= 0x40; // a flag RFC 1952 reserves
    write_file(dir.file("flag.fq.gz"), reserved_flag);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        // The message-stream format, detected from the name.
        {{dir.file("plain.gz")}, dir.file("plain.gz") + ": not in gzip format\n"},
        {{dir.file("good.fq.gz"), dir.file("cut.fq.gz")},
         dir.file("cut.fq.gz") + ": truncated gzip data: the file ends inside member 1\n"},
        {{dir.file("sum.fq.gz"), dir.file("good.fq.gz")},
         dir.file("sum.fq.gz") + ": corrupt gzip data: checksum mismatch\n"},
        {{dir.file("good.fq.gz"), dir.file("flag.fq.gz")},
         dir.file("flag.fq.gz") + ": corrupt gzip data: member 1 sets reserved header flags\n"},
    };
    for (const auto& [files, line] : cases) {
        SCOPED_TRACE(line);
        // Nobody connects: a damaged file taken for a clean end would wait for the deadline and
        // then say the group was unattended.
        std::vector<std::string> args = {"-l", any_loopback_port, "-t", "30"};
        args.insert(args.end(), files.begin(), files.end());
        const child_result r = run(shuffler(args), {}, limit);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(without_timing(r.err), line);
    }
}

TEST(InputSide, ChildrenAreWaitedForEvenWhenSIGCHLDWasInheritedAsIgnored) {
    const temp_dir dir;
    write_file(dir.file("stream.bin"), frame(0, "through a child\n"));
    const std::string port_file = dir.file("job.port");
    // Ignored SIGCHLD survives exec: the kernel would reap every child and lose its status.
    child_process input({"/usr/bin/python3", "-c",
                         "import os, signal, sys\n"
                         "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                         "os.execv(sys.argv[1], sys.argv[1:])",
                         shuffler_binary(), "-l", any_loopback_port, "--port-file", port_file,
                         "--insecure", "-w", "1", "-t", "60", dir.file("stream.bin")});
    const child_result worker =
        run(shuffler({"-g", "0", "-c", "@" + port_file, "--insecure", "-t", "60"}), {}, limit);
    EXPECT_TRUE(ended_cleanly(input.wait(limit)));
    EXPECT_TRUE(ended_cleanly(worker));
    EXPECT_EQ(worker.out, "through a child\n");
}

TEST(InputSide, ACorruptFileOfAPairIsOneLineNotOnePerInput) {
    const temp_dir dir;
    // Named like a compressed pair, but the first file is plain text; the second is big enough
    // that its decompression is still writing when the run stops.
    write_file(dir.file("a.fq.gz"), "@r\nA\n+\nI\n");
    std::string fastq;
    for (int i = 0; i < 20000; ++i)
        fastq += "@r" + std::to_string(i) + "\n" + std::string(100, 'A') + "\n+\n" +
                 std::string(100, 'I') + "\n";
    write_file(dir.file("b.fq"), fastq);
    ASSERT_EQ(run({"/bin/sh", "-c", "gzip -n " + dir.file("b.fq")}).exit_status, 0);
    const child_result r = run(shuffler({"-l", any_loopback_port, "-t", "30",
                                         dir.file("a.fq.gz"), dir.file("b.fq.gz")}),
                               {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    // The input that failed, not what its missing output looked like, nor the other input that
    // the shutdown cut off.
    EXPECT_EQ(without_timing(r.err), dir.file("a.fq.gz") + ": not in gzip format\n");
}

// Runs ended by a line of their own; they still end through the timing report.
TEST(Runs, EndingInALineOfTheirOwn) {
    const temp_dir dir;
    const reserved_port refusing;
    const std::string at = any_loopback_port, nobody = refusing.address();
    // A stored stream damaged after a good message, that nobody claims: the damage must stop
    // the run long before the deadline (a run that waited for it is killed at the bound: 137).
    const auto damaged = [&](const std::string& name, const std::string& bytes) {
        write_file(dir.file(name), frame(0, "fine\n") + bytes);
        return std::vector<std::string>{"-l", at, "-t", "300", "-G", "4", dir.file(name)};
    };
    const auto subject = [&](const std::string& name) { return dir.file(name) + ": "; };
    write_file(dir.file("unclaimed"), frame(3, "x"));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string line;
    } cases[] = {
        {{"-g", "0", "-c", nobody, "-t", "1"}, 255, nobody + ": Connection refused"},
        // (An address without a port is refused with the command line, status 1.)
        {{"-g", "0", "-l", at, "-t", "1"}, 255,
         at + ": no input side connected before the deadline"},
        // Groups 0 to 4 are unclaimed at the deadline, but only group 3 holds a message.
        {{"-l", at, "-t", "1", "-G", "5", dir.file("unclaimed")}, 255, "Unattended group 3"},
        {damaged("bad", header_bytes(4, 0, 0) + "oops"), 255,
         subject("bad") + "Bad message header"},
        {damaged("beyond", frame(4, "x")), 255,
         subject("beyond") + "Group id exceeds maximum: a message for group 4 with --max_groups 4"},
        {damaged("cut", frame(1, "truncated").substr(0, 12)), 255,
         subject("cut") + "*ended inside a message"},
        {damaged("cut2", frame(1, "truncated").substr(0, 5)), 255,
         subject("cut2") + "*ended inside a message"},
        // No pool could ever hold it: refused at once rather than waiting for memory forever.
        {damaged("long", valid_header(0x40000000, 0) + "short"), 255, subject("long") + "*"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const child_result r = run(shuffler(c.args), {}, limit);
        EXPECT_TRUE(ended_with(r, c.status, c.line));
        EXPECT_NE(r.err.find("\nchildren user "), std::string::npos) << "no timing report";
    }
}

} // namespace
} // namespace shuffler_test
