// End-to-end delivery under faults: the end-of-data mark, acknowledgements and re-sending, jobs
// that end with their data, bounded connects, and output files that appear only on success.
// Every process is real and bounded; stalls are made by not reading a worker's output pipe.

#include "e2e/pair_job.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <regex>
#include <thread>

namespace shuffler_test {
namespace {

// Bound for every wait: a hang fails the test instead of stalling the suite.
constexpr std::chrono::seconds limit(60);

// Reads a worker's piped standard output on a thread, once `start` is set, until the worker
// closes it. `bytes` counts what has arrived so far. It reads its own descriptor: waiting for the
// worker closes the test's, and must not cut the reading short.
class output_drain {
public:
    explicit output_drain(child_process& worker, bool start_now = true)
        : started_(start_now) {
        const int fd = worker.own_output_reader();
        text_ = std::async(std::launch::async, [this, fd] {
            while (!started_)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::string text;
            char buffer[65536];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                text.append(buffer, std::size_t(got));
                bytes_ += std::size_t(got);
            }
            ::close(fd);
            return text;
        });
    }
    void start() { started_ = true; }
    std::size_t bytes() const { return bytes_; }
    // Everything the worker wrote, once it has closed its output.
    std::string text() { return (started_ = true, text_.get()); }

private:
    std::atomic<bool> started_;
    std::atomic<std::size_t> bytes_{0};
    std::future<std::string> text_;
};

// An input side dicing the pair in `dir` to `workers` workers, listening where it writes to
// `port_file`; plain TCP unless `extra` gives a secret file.
std::vector<std::string> dicing_input(const temp_dir& dir, const std::string& port_file,
                                      int workers, long blksize,
                                      std::vector<std::string> extra = plain) {
    std::vector<std::string> a = {"-O", "blksize=" + std::to_string(blksize)};
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), {dir.file("r_1.fq"), dir.file("r_2.fq")});
    return listening_input(port_file, workers, a);
}

// A worker of group 0 finding the input side through `port_file`; plain TCP unless `extra`
// gives a secret file.
std::vector<std::string> file_worker(const std::string& port_file,
                                     std::vector<std::string> extra = plain) {
    return worker_args("@" + port_file, 0, extra);
}

// The port the input side wrote to `port_file`, once it has; 0 if it never did.
int port_in(const std::string& port_file) { return port_of(listener_address(port_file)); }

// The options of each process of a job over plain TCP, and over TLS with a secret file in `dir`:
// faults must end the same way under both.
std::vector<std::vector<std::string>> both_transports(const temp_dir& dir) {
    const std::string secret = dir.file("job.secret");
    write_file(secret, "delivery test secret\n");
    ::chmod(secret.c_str(), 0600);
    return {plain, {"--secret-file", secret}};
}

TEST(Delivery, InputSideKilledMidStreamFailsItsWorkers) {
    const temp_dir dir;
    make_pair(dir, 20000, 150);
    for (const auto& transport : both_transports(dir)) {
        SCOPED_TRACE(transport == plain ? "plain" : "TLS");
        const temp_dir rendezvous; // a killed listener leaves its port file behind
        const std::string port_file = rendezvous.file("job.port");
        child_process input(dicing_input(dir, port_file, 1, 50000, transport));
        const int port = port_in(port_file);
        ASSERT_NE(port, 0) << "no port file";
        child_process worker(file_worker(port_file, transport), {}, true);
        // The worker's consumer reads nothing yet: data is in flight when the input side dies.
        ASSERT_TRUE(readable(worker.output_reader(), limit));
        input.signal(SIGKILL);
        output_drain drain(worker);
        const std::string text = drain.text();
        const child_result r = worker.wait(limit);
        EXPECT_EQ(r.exit_status, 255) << r.err;
        EXPECT_NE(r.err.find(loopback(port) + ": "), std::string::npos) << r.err;
        // What the worker saw is the close (or a reset), not its acknowledgement meeting it.
        EXPECT_EQ(r.err.find("Broken pipe"), std::string::npos) << r.err;
        EXPECT_LT(text.size(), 20000u * 2 * 320);
    }
}

// A worker that fails with messages in flight and none written: they go to the survivor, whose
// output alone rebuilds the input, and the job succeeds.
TEST(Delivery, FailedWorkersMessagesGoToTheSurvivor) {
    for (const bool reader_quits : {false, true}) {
        SCOPED_TRACE(reader_quits ? "the worker's reader quits" : "the worker is killed");
        const temp_dir dir;
        // Messages larger than the doomed worker's standard output pipe (widened to 1 MiB), so
        // the first is never completely written, and more of them than its window holds.
        const auto inputs = make_pair(dir, 24000, 150);
        for (const auto& transport : both_transports(dir)) {
            SCOPED_TRACE(transport == plain ? "plain" : "TLS");
            const temp_dir rendezvous;
            const std::string port_file = rendezvous.file("job.port");
            child_process input(dicing_input(dir, port_file, 2, 800000, transport));
            child_process doomed(file_worker(port_file, transport), {}, true);
            child_result lost;
            if (reader_quits) {
                doomed.close_output_reader(); // its first write fails
                lost = doomed.wait(limit);    // before the survivor could take everything
            } else {
                ASSERT_TRUE(readable(doomed.output_reader(), limit));
            }
            child_process survivor(file_worker(port_file, transport));
            if (!reader_quits) {
                doomed.signal(SIGKILL);
                lost = doomed.wait(limit);
            }
            EXPECT_NE(lost.exit_status, 0);
            job_result job{input.wait(limit), {survivor.wait(limit)}};
            EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
            EXPECT_NE(job.input.err.find("worker failed; "), std::string::npos) << job.input.err;
            EXPECT_TRUE(ended_cleanly(job.workers[0]));
            EXPECT_TRUE(rebuilds_input(job, inputs));
        }
    }
}

TEST(Delivery, AStalledWorkerHoldsNoMoreThanItsWindow) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 12000, 150);
    const std::size_t total = inputs[0].size() + inputs[1].size();
    const long blksize = 30000;
    const std::size_t largest_message = 3 * std::size_t(blksize); // sequence, quality and names
    // Held by the stalled worker: its window of two messages, and what its standard output pipe,
    // widened to 1 MiB, took before its writes blocked.
    const std::size_t bound = 2 * largest_message + (std::size_t(1) << 20);
    const std::string port_file = dir.file("job.port");
    child_process input(dicing_input(dir, port_file, 3, blksize));
    child_process stalled(file_worker(port_file), {}, true);
    output_drain stalled_out(stalled, false);
    ASSERT_TRUE(readable(stalled.output_reader(), limit));
    child_process b(file_worker(port_file), {}, true), c(file_worker(port_file), {}, true);
    output_drain b_out(b), c_out(c);
    // Everything but what the stalled worker holds reaches the other two.
    EXPECT_TRUE(eventually(
        [&] { return b_out.bytes() + c_out.bytes() + bound >= total; },
        std::chrono::seconds(60)))
        << b_out.bytes() << " + " << c_out.bytes() << " of " << total;
    job_result job;
    job.workers.resize(3);
    job.workers[0].out = stalled_out.text();
    job.workers[1].out = b_out.text();
    job.workers[2].out = c_out.text();
    // All it wrote over the run, so never more than it held while stalled.
    EXPECT_LE(job.workers[0].out.size(), bound);
    job.input = input.wait(limit);
    for (child_process* w : {&stalled, &b, &c})
        EXPECT_TRUE(ended_cleanly(w->wait(limit)));
    EXPECT_TRUE(ended_cleanly(job.input));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(Delivery, JobsEndWhenTheDataIsThroughNotAtTheDeadline) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 3000, 150);
    // Every process has a deadline of five minutes and is killed (137) at a bound of half one.
    const std::vector<std::string> far = {"-t", "300"};
    {
        // The input side listens and knows how many workers to expect.
        const std::string port_file = dir.file("job.port");
        std::vector<std::string> options = far;
        options.insert(options.end(), plain.begin(), plain.end());
        child_process input(dicing_input(dir, port_file, 2, 20000, options));
        child_process w1(file_worker(port_file, options)), w2(file_worker(port_file, options));
        job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
    {
        // The workers listen; the input side connects to each.
        const std::string f1 = dir.file("w1.port"), f2 = dir.file("w2.port");
        child_process w1(shuffler(
            {"-g", "0", "-l", any_loopback_port, "--port-file", f1, "--insecure", "-t", "300"}));
        child_process w2(shuffler(
            {"-g", "0", "-l", any_loopback_port, "--port-file", f2, "--insecure", "-t", "300"}));
        child_process input(shuffler({"-c", "@" + f1, "-c", "@" + f2, "--insecure", "-t", "300",
                                      "-O", "blksize=20000", dir.file("r_1.fq"),
                                      dir.file("r_2.fq")}));
        job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
}

TEST(Delivery, ALateWorkerOfAFinishedGroupEndsCleanlyWithNothing) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 500, 150);
    const std::string port_file = dir.file("job.port");
    // No -w: the input side serves late workers until its deadline, which is what ends it here.
    // Its length is a compromise: long enough that the workers come first even on a loaded
    // machine (they wait for its port file, then connect at once), short enough for the suite.
    child_process input(shuffler({"-l", any_loopback_port, "--port-file", port_file, "--insecure",
                                  "-t", "20", dir.file("r_1.fq"), dir.file("r_2.fq")}));
    const child_result first = run(file_worker(port_file), {}, limit);
    const child_result late = run(file_worker(port_file), {}, limit);
    EXPECT_TRUE(ended_cleanly(first));
    EXPECT_TRUE(ended_cleanly(late));
    EXPECT_EQ(late.out, "");
    job_result job{input.wait(limit), {first}};
    EXPECT_TRUE(ended_cleanly(job.input));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(Delivery, AFailedWorkerLeavesNoFileAndAnExistingFileUntouched) {
    const temp_dir dir;
    const std::string out = dir.file("out.fq");
    write_file(out, "precious\n");
    // Nothing listens there: the worker fails at its deadline.
    const reserved_port nobody;
    const child_result r =
        run(shuffler({"-g", "0", "-c", nobody.address(), "-t", "1", out}), {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(read_file(out), "precious\n");
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("")))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";
}

TEST(Delivery, AnOutputThatIsNotARegularFileIsWrittenInPlaceNotReplaced) {
    // Renaming a finished file over a FIFO, a device such as /dev/null or a symbolic link would
    // swap it for a plain file.
    const temp_dir dir;
    const auto inputs = make_pair(dir, 200, 150);
    const std::string fifo = dir.file("fifo"), target = dir.file("target"), link = dir.file("link");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& out : {fifo, link}) {
        SCOPED_TRACE(out);
        const temp_dir rendezvous;
        const std::string port_file = rendezvous.file("job.port");
        child_process input(dicing_input(dir, port_file, 1, 20000));
        child_process worker(file_worker(port_file, {"--insecure", out}));
        std::string text;
        if (out == fifo)
            text = read_file(fifo); // until the worker closes it
        job_result job{input.wait(limit), {worker.wait(limit)}};
        EXPECT_TRUE(job_ended_cleanly(job));
        job.workers[0].out = out == fifo ? text : read_file(target);
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
    struct stat st;
    EXPECT_TRUE(::lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

TEST(Delivery, AConnectToAPeerThatNeverAnswersEndsAtTheDeadline) {
    // A listener whose backlog is full drops further connection requests without a word, as a
    // host that has gone away does.
    int port = 0;
    const int listener = loopback_socket(0, port);
    ::listen(listener, 0);
    int filler_port = 0;
    const int filler = loopback_socket(port, filler_port);
    // The bound, far below the kernel's minutes of retries, tells a connect that ended at the
    // deadline from one that did not (killed: 137).
    const child_result r =
        run(shuffler({"-g", "0", "-c", loopback(port), "-t", "2"}), {}, limit);
    ::close(filler);
    ::close(listener);
    EXPECT_EQ(r.exit_status, 255) << r.err;
    EXPECT_NE(r.err.find(loopback(port) + ": "), std::string::npos) << r.err;
}

TEST(Delivery, AListeningWorkerNobodyReachesFails) {
    const child_result r =
        run(shuffler({"-g", "0", "-l", any_loopback_port, "-t", "1"}), {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err),
              any_loopback_port + ": no input side connected before the deadline\n");
}

// A worker that has taken messages and acknowledges none for the peer timeout is dropped,
// whatever its buffers hold: its consumer stalled, or the worker stopped (SIGSTOP) with its
// window not full. It had written some, so the run fails, within three peer timeouts.
TEST(Delivery, AWorkerThatAcknowledgesNothingForThePeerTimeoutIsDropped) {
    const temp_dir dir;
    make_pair(dir, 20000, 150);
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped by SIGSTOP" : "its reader stalled");
        const temp_dir rendezvous;
        const std::string port_file = rendezvous.file("job.port");
        child_process input(
            dicing_input(dir, port_file, 1, 50000, {"--insecure", "--peer-timeout", "1"}));
        child_process worker(file_worker(port_file, {"--insecure", "--peer-timeout", "1"}), {},
                             true);
        // Its consumer takes more than a message (about 107 kB each) and then stalls: the
        // worker has written, and acknowledged, the first before starting the second.
        std::size_t taken = 0;
        char buffer[65536];
        while (taken < 250000) {
            ASSERT_TRUE(readable(worker.output_reader(), limit));
            const ssize_t got = ::read(worker.output_reader(), buffer, sizeof buffer);
            ASSERT_GT(got, 0);
            taken += std::size_t(got);
        }
        if (stopped)
            worker.signal(SIGSTOP);
        // The bound, far beyond the peer timeout, only catches an input side that never drops
        // the worker (killed: 137).
        const child_result in = input.wait(limit);
        EXPECT_EQ(in.exit_status, 255) << in.err;
        EXPECT_TRUE(std::regex_search(
            in.err, std::regex("^127\\.0\\.0\\.1:[0-9]+: worker failed after writing [0-9]+ "
                               "messages to its output \\((no acknowledgement for 1 s|Connection "
                               "timed out)\\)\n")))
            << in.err; // the kernel may time out a full window's probes first: the same drop
        if (stopped)
            worker.signal(SIGCONT);
        output_drain drain(worker);
        drain.text();
        EXPECT_EQ(worker.wait(limit).exit_status, 255);
    }
}

// A connection that takes messages and acknowledges none (a stray that sends a valid handshake,
// then reads nothing) is dropped after the peer timeout even when what it took fits its socket
// buffers; its messages go to the real workers and the job succeeds.
TEST(Delivery, AStrayThatTakesMessagesAndNeverAcknowledgesIsDroppedAndTheyAreSentAgain) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000, 150);
    const std::string port_file = dir.file("job.port");
    child_process input(
        dicing_input(dir, port_file, 2, 2000, {"--insecure", "--peer-timeout", "1"}));
    const int port = port_in(port_file);
    ASSERT_NE(port, 0) << "no port file";
    int own_port = 0;
    const int stray = loopback_socket(port, own_port);
    const std::string handshake = {0, 0, 0, 0, 0, 0, char(0xff), char(0xff)};
    ASSERT_EQ(::send(stray, handshake.data(), handshake.size(), MSG_NOSIGNAL), 8);
    ASSERT_TRUE(readable(stray, limit)) << "the stray was sent nothing";
    child_process w1(file_worker(port_file)), w2(file_worker(port_file));
    job_result job{input.wait(limit), {}};
    job.workers.push_back(w1.wait(limit));
    job.workers.push_back(w2.wait(limit));
    ::close(stray);
    EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
    EXPECT_TRUE(std::regex_search(job.input.err,
                                  std::regex("^127\\.0\\.0\\.1:" + std::to_string(own_port) +
                                             ": worker failed; [12] messages sent again \\(no "
                                             "acknowledgement for 1 s\\)\n")))
        << job.input.err;
    EXPECT_TRUE(ended_cleanly(job.workers[0]));
    EXPECT_TRUE(ended_cleanly(job.workers[1]));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

// -w counts workers served. A peer that sends a valid handshake and leaves having taken nothing
// (here: the end mark of an empty group, never acknowledged) is not one of them, so the second
// real worker still gets in.
TEST(Delivery, APeerThatLeavesHavingTakenNothingIsNotAServedWorker) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 200, 150);
    const std::string port_file = dir.file("job.port");
    child_process input(dicing_input(dir, port_file, 2, 2000000));
    const int port = port_in(port_file);
    ASSERT_NE(port, 0) << "no port file";
    int own_port = 0;
    const int stray = loopback_socket(port, own_port);
    const std::string handshake = {0, 0, 0, 0, 5, 0, char(0xfa), char(0xff)}; // group 5
    ASSERT_EQ(::send(stray, handshake.data(), handshake.size(), MSG_NOSIGNAL), 8);
    char end_mark[8];
    ASSERT_TRUE(readable(stray, limit));
    ASSERT_EQ(::recv(stray, end_mark, sizeof end_mark, MSG_WAITALL), 8);
    ::close(stray);
    job_result job;
    for (int w = 0; w < 2; ++w) // one after the other: the second finds the group finished
        job.workers.push_back(run(file_worker(port_file), {}, limit));
    job.input = input.wait(limit);
    EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
    EXPECT_TRUE(ended_cleanly(job.workers[0]));
    EXPECT_TRUE(ended_cleanly(job.workers[1]));
    EXPECT_EQ(job.workers[1].out, "");
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

// Two output sides connected to each other (a worker given another worker's port file) are told
// so at once and the connection dropped, over plain TCP and TLS; the listening one then serves
// its real input side.
TEST(Delivery, AWorkerConnectedToAnotherWorkerIsToldSoAndDropped) {
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        const temp_dir dir;
        const auto inputs = make_pair(dir, 300, 150);
        const std::vector<std::string> mode = tls ? std::vector<std::string>{}
                                                  : std::vector<std::string>{"--insecure"};
        const std::string port_file = dir.file("worker.port");
        std::vector<std::string> listening = {"-g", "0", "-l", any_loopback_port, "--port-file",
                                              port_file, "-t", "60"};
        listening.insert(listening.end(), mode.begin(), mode.end());
        child_process worker(shuffler(listening), {}, true);
        output_drain drain(worker);
        std::vector<std::string> wrong = {"-g", "0", "-c", "@" + port_file, "-t", "60"};
        wrong.insert(wrong.end(), mode.begin(), mode.end());
        const child_result stray = run(shuffler(wrong), {}, limit);
        EXPECT_TRUE(std::regex_match(without_timing(stray.err),
                                     std::regex("127\\.0\\.0\\.1:[0-9]+: peer is an output "
                                                "side too\n")))
            << stray.err;
        EXPECT_EQ(stray.exit_status, 255);
        std::vector<std::string> real = {"-c", "@" + port_file, "-t", "60", dir.file("r_1.fq"),
                                         dir.file("r_2.fq")};
        real.insert(real.end(), mode.begin(), mode.end());
        const child_result in = run(shuffler(real), {}, limit);
        EXPECT_TRUE(ended_cleanly(in));
        // Bounded first: the drain reads until the worker ends.
        const child_result w = worker.wait(limit);
        job_result job{in, {}};
        job.workers.push_back({});
        job.workers[0].out = drain.text();
        EXPECT_EQ(w.exit_status, 0) << w.err;
        EXPECT_TRUE(std::regex_match(without_timing(w.err),
                                     std::regex("127\\.0\\.0\\.1:[0-9]+: peer is an output "
                                                "side too; connection dropped\n")))
            << w.err;
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
}

// A listening worker drops a connection that has sent nothing once its input side has delivered
// the group, instead of waiting for that stray to leave.
TEST(Delivery, ASilentStrayDoesNotHoldAListeningWorkerThatIsDone) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 300, 150);
    const std::string port_file = dir.file("worker.port");
    child_process worker(shuffler({"-g", "0", "-l", any_loopback_port, "--port-file", port_file,
                                   "--insecure", "-t", "60"}),
                         {}, true);
    output_drain drain(worker);
    const int port = port_in(port_file);
    ASSERT_NE(port, 0) << "no port file";
    int own_port = 0;
    const int stray = loopback_socket(port, own_port);
    const child_result in = run(shuffler({"-c", "@" + port_file, "--insecure", "-t", "60",
                                          dir.file("r_1.fq"), dir.file("r_2.fq")}),
                                {}, limit);
    EXPECT_TRUE(ended_cleanly(in));
    // Bounded first: the drain reads until the worker ends.
    const child_result w = worker.wait(limit);
    ::close(stray);
    job_result job{in, {}};
    job.workers.push_back({});
    job.workers[0].out = drain.text();
    EXPECT_EQ(w.exit_status, 0) << w.err;
    EXPECT_EQ(without_timing(w.err), loopback(own_port) +
                                         ": nothing received before the group was delivered; "
                                         "connection dropped\n");
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(Delivery, ACancelledRunFailsLeavingItsReasonInThePortFilesAndNoPartialOutput) {
    // A scheduler's SIGTERM, or a user's Ctrl-C, while each side waits for the other: the worker
    // has its output file open under its temporary name, both have written port files, which
    // now tell peers still to come why the run failed.
    for (const int signal : {SIGTERM, SIGINT}) {
        const std::string name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        SCOPED_TRACE(name);
        const temp_dir dir;
        make_pair(dir, 100, 150);
        const std::string out = dir.file("out.fq");
        child_process worker(shuffler({"-g", "0", "-l", any_loopback_port, "--port-file",
                                       dir.file("worker.port"), "-t", "60", out}));
        child_process input(shuffler({"-l", any_loopback_port, "--port-file",
                                      dir.file("input.port"), "-t", "60", dir.file("r_1.fq"),
                                      dir.file("r_2.fq")}));
        const auto files = [&] {
            std::vector<std::string> names;
            for (const auto& e : std::filesystem::directory_iterator(dir.file("")))
                names.push_back(e.path().filename().string());
            std::sort(names.begin(), names.end());
            return names;
        };
        ASSERT_TRUE(eventually([&] { return files().size() == 5; }, limit));
        for (child_process* p : {&worker, &input}) {
            p->signal(signal);
            const child_result r = p->wait(limit);
            EXPECT_EQ(r.exit_status, 255);
            EXPECT_EQ(without_timing(r.err), "interrupted by " + name + "\n");
        }
        EXPECT_EQ(files(), (std::vector<std::string>{"input.port", "r_1.fq", "r_2.fq",
                                                     "worker.port"}));
        for (const char* port : {"input.port", "worker.port"})
            EXPECT_EQ(read_file(dir.file(port)), "failed=interrupted by " + name + "\n");
    }
}

// The worker's file is flushed and under its name before the end of data is acknowledged: once
// the input side has exited 0, the output is there in full, whatever the worker does next.
TEST(Delivery, TheOutputIsInPlaceBeforeTheInputSideHearsItArrived) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000, 150);
    const std::string port = dir.file("job.port"), out = dir.file("out.fq");
    child_process input(shuffler({"-l", any_loopback_port, "--port-file", port, "-t", "60", "-w",
                                  "1", "-O", "blksize=20000", dir.file("r_1.fq"),
                                  dir.file("r_2.fq")}));
    child_process worker(shuffler({"-g", "0", "-c", "@" + port, "-t", "60", out}));
    job_result job{input.wait(limit), {}};
    ASSERT_TRUE(ended_cleanly(job.input));
    job.workers.push_back({0, read_file(out), ""}); // read before the worker is waited for
    EXPECT_TRUE(rebuilds_input(job, inputs));
    EXPECT_TRUE(ended_cleanly(worker.wait(limit)));
}

} // namespace
} // namespace shuffler_test
