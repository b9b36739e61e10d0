// End-to-end rendezvous through port files: a listener on port 0 tells its address in a file
// (--port-file), and its peers find it there (-c @FILE), whichever starts first. Every process is
// real and bounded; readiness is waited for, never slept for.

#include "e2e/pair_job.hpp"
#include "e2e/worker_output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(60);

TEST(Rendezvous, WorkersStartedBeforeThePortFileExistFindAListenerOnPortZero) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 3000);
    const std::string port_file = dir.file("job.port");
    child_process w1(worker_args("@" + port_file)), w2(worker_args("@" + port_file));
    child_process input(
        input_args(dir, {"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "2"}));
    job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(job, inputs));
    EXPECT_FALSE(std::filesystem::exists(port_file)) << "the port file outlived the listener";
}

TEST(Rendezvous, ThePortFileIsPrivateAndNamesTheListeningAddress) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 500);
    for (const bool wildcard : {false, true}) {
        SCOPED_TRACE(wildcard ? "0.0.0.0:0" : "127.0.0.1:0");
        const std::string port_file = dir.file("job.port");
        child_process input(input_args(
            dir, {"-l", wildcard ? "0.0.0.0:0" : "127.0.0.1:0", "--port-file", port_file, "-w",
                  "1"}));
        const std::string address = listener_address(port_file);
        ASSERT_NE(address, "") << "no port file";
        struct stat st;
        ASSERT_EQ(::stat(port_file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        const int port = port_of(address);
        EXPECT_GT(port, 0);
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        EXPECT_EQ(address.substr(0, address.rfind(':')), wildcard ? host : "127.0.0.1");
        // Readers take the address and the job's secret, and skip lines they do not know: later
        // fields may come.
        const std::string text = read_file(port_file);
        const std::string secret = text.substr(text.find('\n') + 1);
        EXPECT_EQ(secret.substr(0, 7), "secret=");
        const std::string copy = dir.file("copy.port");
        write_file(copy, "127.0.0.1:" + std::to_string(port) + "\nfield=to come\n" + secret);
        job_result job{{}, {run(worker_args("@" + copy), {}, limit)}};
        job.input = input.wait(limit);
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
}

// A port file left behind by a run that died names a port nobody listens on; the worker keeps
// reading it while refused and finds the new listener's port.
TEST(Rendezvous, AStalePortFileIsReadAgainUntilTheListenerReplacesIt) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 500);
    const std::string port_file = dir.file("job.port");
    const reserved_port stale; // refuses, and stays nobody's
    write_file(port_file, stale.address() + "\n");
    open_watch watch(port_file); // before the worker starts, so that no open is missed
    child_process worker(worker_args("@" + port_file));
    // Read, refused, read again: only then does the listener exist.
    ASSERT_TRUE(watch.opened(2, std::chrono::seconds(60)))
        << "the worker did not read the stale file again";
    child_process input(input_args(dir, {"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "1"}));
    job_result job{input.wait(limit), {worker.wait(limit)}};
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(Rendezvous, ListeningWorkersAndAConnectingInputSide) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 3000);
    const std::string f1 = dir.file("w1.port"), f2 = dir.file("w2.port");
    child_process input(input_args(dir, {"-c", "@" + f1, "-c", "@" + f2}));
    child_process w1(shuffler({"-g", "0", "-l", any_loopback_port, "--port-file", f1, "-t", "60"}));
    child_process w2(shuffler({"-g", "0", "-l", any_loopback_port, "--port-file", f2, "-t", "60"}));
    job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(Rendezvous, APortFileNeverWrittenFailsAtTheDeadline) {
    const temp_dir dir;
    const child_result r = run(shuffler({"-g", "0", "-c", "@" + dir.file("none.port"), "-t", "1"}),
                               {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), dir.file("none.port") + ": not written before the deadline\n");
    // A file that is there but holds no address is named as such, at once.
    write_file(dir.file("bad.port"), "no address here\n");
    const child_result bad =
        run(shuffler({"-g", "0", "-c", "@" + dir.file("bad.port"), "-t", "20"}), {}, limit);
    EXPECT_EQ(bad.exit_status, 255);
    EXPECT_EQ(without_timing(bad.err),
              dir.file("bad.port") +
                  ": bad port file: its first line 'no address here' is not host:port\n");
    // Nor is a port out of range taken modulo 65536: it is refused at once, never tried (a
    // worker that waited for its deadline would be killed at the bound, 137).
    for (const std::string port : {"99999", "0", "http"}) {
        write_file(dir.file("wrap.port"), "127.0.0.1:" + port + "\n");
        const child_result wrapped =
            run(shuffler({"-g", "0", "-c", "@" + dir.file("wrap.port"), "-t", "120"}), {}, limit);
        EXPECT_EQ(wrapped.exit_status, 255);
        EXPECT_EQ(without_timing(wrapped.err), "127.0.0.1:" + port + ": invalid address: port '" +
                                                   port + "' is not a decimal from 1 to 65535\n");
    }
}

// A port file whose read never returns (on a stalled network file system; here a FIFO nobody
// writes, whose open blocks) holds up that connection only: the loop goes on, and the deadline
// ends the run with one line.
TEST(Rendezvous, APortFileReadThatStallsEndsAtTheDeadline) {
    const temp_dir dir;
    const std::string stalled = dir.file("stalled.port");
    ASSERT_EQ(::mkfifo(stalled.c_str(), 0600), 0);
    const child_result r = run(shuffler({"-g", "0", "-c", "@" + stalled, "-t", "1"}), {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_NE(r.err.find(stalled + ": "), std::string::npos) << r.err;
}

} // namespace
} // namespace shuffler_test
