// End-to-end: the shell commands a run starts (`cmd |` inputs, a FIFO's `cat` relay) decide the
// run and never hold its end. Each case runs twice: waiting for children through pidfds, and
// through SIGCHLD as on kernels without them (SHUFFLER_NO_PIDFD=1).

#include "e2e/worker_output.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(60);

class Children : public ::testing::TestWithParam<bool> {
protected:
    const temp_dir dir;
    // The argv of the binary with `args`, on the SIGCHLD path when the parameter says so.
    std::vector<std::string> shuffler_argv(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = shuffler(args);
        if (GetParam())
            argv.insert(argv.begin(), {"/usr/bin/env", "SHUFFLER_NO_PIDFD=1"});
        return argv;
    }
    // The same, with standard error going to `err`, so a test can watch it while it runs.
    std::vector<std::string> shuffler_argv(const std::vector<std::string>& args,
                                           const std::string& err) const {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>" + err, "sh"};
        const std::vector<std::string> rest = shuffler_argv(args);
        argv.insert(argv.end(), rest.begin(), rest.end());
        return argv;
    }
    // The pid a command wrote into `file`, once it has.
    pid_t pid_in(const std::string& file) const {
        pid_t pid = 0;
        EXPECT_TRUE(eventually(
            [&] {
                std::ifstream in(file);
                return bool(in >> pid) && pid > 0;
            },
            limit));
        return pid;
    }
};

bool gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Gone, or dead and waiting for whoever adopted it to reap it.
bool dead(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    return gone(pid) || (close != std::string::npos && text.substr(close + 2, 1) == "Z");
}

std::string fastq(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "@r" + std::to_string(i) + "\nACGT\n+\nIIII\n";
    return text;
}

// The end mark waits for the input command's status: a command that closes its output and then
// fails fails the job, and its worker keeps nothing; one that then succeeds delivers.
TEST_P(Children, AnInputCommandsStatusComesBeforeAnyEndMark) {
    write_file(dir.file("in.fq"), fastq(2));
    write_file(dir.file("in.sam"), "@SQ\tSN:chr1\tLN:1000\nr1\t0\tchr1\t5\t60\t4M\t*\t0\t0\tACGT\tIIII\n");
    struct job {
        const char* file;
        std::vector<std::string> options;
        int status;
    };
    const std::vector<std::string> fastq_job = {"-w", "1", "-f", "fastq"};
    // Every shard gets the header: shard 1 and group 0 each need their worker.
    const std::vector<std::string> sam_job = {"-w", "2", "-f", "sam", "-O", "s1=chr1"};
    for (const job& j : {job{"in.fq", fastq_job, 3}, job{"in.sam", sam_job, 3},
                         job{"in.fq", fastq_job, 0}}) {
        const std::string command = "cat " + dir.file(j.file) + "; exec 1>&-; sleep 1; exit " +
                                    std::to_string(j.status);
        SCOPED_TRACE(command);
        const std::string port = dir.file("job.port");
        // A failed job leaves its reason there, which a new job's early workers would read.
        std::filesystem::remove(port);
        std::vector<std::string> args = {"-l", "127.0.0.1:0", "--port-file", port, "-t", "30"};
        args.insert(args.end(), j.options.begin(), j.options.end());
        args.push_back(command + " |");
        child_process input(shuffler_argv(args));
        const int groups = j.options[1] == "2" ? 2 : 1;
        std::vector<std::unique_ptr<child_process>> workers;
        for (int g = 0; g < groups; ++g)
            workers.push_back(std::make_unique<child_process>(
                shuffler_argv({"-g", std::to_string(g), "-c", "@" + port, "-t", "30",
                               dir.file("out" + std::to_string(g))})));
        const child_result in = input.wait(limit);
        for (int g = 0; g < groups; ++g) {
            const std::string out = dir.file("out" + std::to_string(g));
            const child_result w = workers[std::size_t(g)]->wait(limit);
            if (j.status == 0) {
                EXPECT_TRUE(ended_cleanly(w));
                EXPECT_EQ(read_file(out), "@r0 #0#\nACGT\n+\nIIII\n@r1\nACGT\n+\nIIII\n");
                std::filesystem::remove(out);
            } else {
                // No end mark: the worker fails and keeps nothing.
                EXPECT_EQ(w.exit_status, 255) << w.err;
                EXPECT_FALSE(std::filesystem::exists(out));
            }
        }
        if (j.status == 0) {
            EXPECT_TRUE(ended_cleanly(in));
        } else {
            EXPECT_EQ(in.exit_status, 255);
            EXPECT_EQ(without_timing(in.err),
                      "pipe command '" + command + " |': exited with status 3\n");
        }
    }
}

// A stop (SIGTERM) while a `cmd |` input idles ends the run at once: its process group (the
// shell and what it started) is stopped, not waited for.
TEST_P(Children, AStopEndsAnIdleInputCommandAndWhatItStarted) {
    const std::string port = dir.file("job.port");
    const std::string command = "echo $$ > " + dir.file("shell.pid") + "; sleep 300 & echo $! > " +
                                dir.file("sleep.pid") + "; wait |";
    child_process input(shuffler_argv(
        {"-l", "127.0.0.1:0", "--port-file", port, "-t", "300", "-f", "fastq", command}));
    const pid_t shell = pid_in(dir.file("shell.pid")), sleeper = pid_in(dir.file("sleep.pid"));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(port); }, limit));
    input.signal(SIGTERM);
    const child_result r = input.wait(limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), "interrupted by SIGTERM\n");
    EXPECT_EQ(read_file(port), "failed=interrupted by SIGTERM\n"); // for peers still to come
    // Reaped by the run, so gone at once; the shell's own child soon after, killed with it.
    EXPECT_TRUE(gone(shell));
    EXPECT_TRUE(eventually([&] { return dead(sleeper); }, limit));
}

// A second signal while the orderly end is held up (a command that ignores SIGTERM) ends the
// process at once with status 255 and one line, after removing the port file and killing the
// command, which is in a process group of its own and so got neither signal.
TEST_P(Children, ASecondSignalEndsAtOnceAndRemovesThePortFile) {
    const std::string port = dir.file("job.port"), err = dir.file("err");
    const std::string command = "trap '' TERM; echo $$ > " + dir.file("shell.pid") +
                                "; while :; do sleep 1; done |";
    child_process input(shuffler_argv(
        {"-l", "127.0.0.1:0", "--port-file", port, "-t", "300", "-f", "fastq", command}, err));
    const pid_t shell = pid_in(dir.file("shell.pid"));
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(port); }, limit));
    input.signal(SIGTERM);
    // The first is reported at once; the command, ignoring SIGTERM, holds the end for a grace.
    ASSERT_TRUE(eventually([&] { return read_file(err).find("interrupted by SIGTERM\n") !=
                                        std::string::npos; },
                           limit));
    input.signal(SIGTERM);
    const child_result r = input.wait(limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_sanitizer_notes(without_timing(read_file(err))),
              "interrupted by SIGTERM\ninterrupted again by SIGTERM; stopping at once\n");
    EXPECT_FALSE(std::filesystem::exists(port));
    EXPECT_TRUE(eventually([&] { return dead(shell); }, limit));
}

// A worker whose output FIFO nobody reads fails (no input side before its deadline) and ends:
// its `cat` relay, blocked opening the FIFO, is stopped rather than waited for.
TEST_P(Children, AFailedWorkerDoesNotWaitForItsRelayToAFifoNobodyReads) {
    const std::string fifo = dir.file("out.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const child_result r =
        child_process(shuffler_argv({"-g", "0", "-c", "@" + dir.file("never.port"), "-t", "1",
                                     fifo}))
            .wait(limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), dir.file("never.port") + ": not written before the deadline\n");
}

// A worker's output "| COMMAND": the command reads the group's payload, and the worker succeeds
// only if it exits 0 after reading everything; it has the BAM with -f bam. One that fails after
// reading everything fails its worker, with one line, and the job: the input side, left without
// the final acknowledgement, does not count the group delivered.
TEST_P(Children, AnOutputCommandReadsEverythingAndItsStatusDecidesTheJob) {
    const std::string records = fastq(20000);
    write_file(dir.file("in.fq"), records);
    const std::string port = dir.file("job.port"), part = dir.file("part");
    for (const int status : {0, 1}) {
        const std::string command = "cat > " + part + "; exit " + std::to_string(status);
        SCOPED_TRACE(command);
        std::filesystem::remove(port);
        child_process input(shuffler_argv({"-l", "127.0.0.1:0", "--port-file", port, "-w", "1",
                                           "-t", "30", "-O", "blksize=10000", dir.file("in.fq")}));
        const child_result w =
            child_process(shuffler_argv({"-g", "0", "-c", "@" + port, "-t", "30", "| " + command}))
                .wait(limit);
        const child_result in = input.wait(limit);
        // Whatever the command's status, it read every record.
        EXPECT_EQ(std::regex_replace(read_file(part), std::regex(" #[0-9]+#"), ""), records);
        if (status == 0) {
            EXPECT_TRUE(ended_cleanly(w));
            EXPECT_TRUE(ended_cleanly(in));
        } else {
            EXPECT_EQ(w.exit_status, 255);
            EXPECT_EQ(without_timing(w.err), "pipe command '| " + command + "': exited with status 1\n");
            EXPECT_EQ(in.exit_status, 255);
            EXPECT_NE(in.err.find("worker failed after writing"), std::string::npos) << in.err;
        }
    }
    // SAM text received, written as BAM into the command.
    std::string sam = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000\n", body;
    for (int i = 0; i < 2000; ++i)
        body += "r" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(1 + 40 * i) +
                "\t60\t4M\t*\t0\t0\tACGT\tIIII\n";
    write_file(dir.file("in.sam"), sam + body);
    std::filesystem::remove(port);
    child_process input(shuffler_argv({"-l", "127.0.0.1:0", "--port-file", port, "-w", "1",
                                       "-t", "30", "-O", "s1=chr1", dir.file("in.sam")}));
    const child_result w = child_process(shuffler_argv({"-g", "1", "-c", "@" + port, "-t", "30",
                                                        "-f", "bam", "| cat > " + part + ".bam"}))
                               .wait(limit);
    EXPECT_TRUE(ended_cleanly(w));
    EXPECT_TRUE(ended_cleanly(input.wait(limit)));
    const child_result view = run({"/usr/bin/samtools", "view", part + ".bam"});
    EXPECT_EQ(view.exit_status, 0) << view.err;
    EXPECT_EQ(view.out, body);
}

// A consumer that stops reading early (its pipe then broken) fails its worker with one line,
// and the input side does not succeed.
TEST_P(Children, AnOutputCommandThatStopsEarlyFailsItsWorker) {
    write_file(dir.file("in.fq"), fastq(200000)); // far more than a pipe holds
    const std::string port = dir.file("job.port"), command = "head -c 10 > " + dir.file("part");
    child_process input(shuffler_argv({"-l", "127.0.0.1:0", "--port-file", port, "-w", "1",
                                       "-t", "300", dir.file("in.fq")}));
    const child_result w =
        child_process(shuffler_argv({"-g", "0", "-c", "@" + port, "-t", "30", "| " + command}))
            .wait(limit);
    EXPECT_EQ(w.exit_status, 255);
    EXPECT_EQ(without_timing(w.err), "pipe command '| " + command + "' closed by its reader\n");
    // Its group has no other worker: the input side waits for one until stopped.
    input.signal(SIGTERM);
    EXPECT_EQ(input.wait(limit).exit_status, 255);
}

// SIGINT to the worker alone, or to the whole job's process group, while data flows: the worker
// ends its consumer (in a process group of its own, which the signal does not reach) and exits
// 255; no consumer outlives it.
TEST_P(Children, AStopEndsTheOutputCommand) {
    write_file(dir.file("in.fq"), fastq(200000)); // enough for messages to go before the idling
    for (const bool whole_job : {false, true}) {
        SCOPED_TRACE(whole_job ? "the job's process group" : "the worker");
        const std::string port = dir.file("job.port"), part = dir.file("part"),
                          pid_file = dir.file("consumer.pid");
        std::filesystem::remove(port);
        std::filesystem::remove(part);
        std::filesystem::remove(pid_file);
        // The input idles once its records are out: the job is still running when stopped.
        child_process input(
            shuffler_argv({"-l", "127.0.0.1:0", "--port-file", port, "-t", "300", "-f", "fastq",
                           "-O", "blksize=1000", "cat " + dir.file("in.fq") + "; sleep 300 |"}),
            {}, false, 0);
        child_process worker(shuffler_argv({"-g", "0", "-c", "@" + port, "-t", "300",
                                            "| echo $$ > " + pid_file + "; exec cat > " + part}),
                             {}, false, input.pid());
        const pid_t consumer = pid_in(pid_file);
        ASSERT_TRUE(eventually([&] { return !read_file(part).empty(); }, std::chrono::seconds(30)));
        if (whole_job)
            ::kill(-input.pid(), SIGINT);
        else
            worker.signal(SIGINT);
        const child_result w = worker.wait(limit);
        EXPECT_EQ(w.exit_status, 255);
        // Stopped together, the worker may see its input side go first: one line either way.
        if (whole_job)
            EXPECT_EQ(std::count(w.err.begin(), w.err.end(), '\n') - 2, 1) << w.err;
        else
            EXPECT_EQ(without_timing(w.err), "interrupted by SIGINT\n");
        // Reaped by the worker before it exited.
        EXPECT_TRUE(gone(consumer));
        if (!whole_job)
            input.signal(SIGTERM);
        const child_result in = input.wait(limit);
        EXPECT_EQ(in.exit_status, 255);
        // Stopped with its worker: its own stop, or the worker's news first, one line either
        // way. (Stopped later, a note that the worker's messages go to others may come first.)
        const std::string in_err = without_timing(in.err);
        if (whole_job)
            EXPECT_EQ(std::count(in_err.begin(), in_err.end(), '\n'), 1) << in.err;
    }
}

INSTANTIATE_TEST_SUITE_P(WaitingBy, Children, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Sigchld" : "Pidfd";
                         });

} // namespace
} // namespace shuffler_test
