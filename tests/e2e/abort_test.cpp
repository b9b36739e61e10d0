// End-to-end: a job fails as one. An input side that fails tells its connected workers (the
// abort message) and those still to come (the port file's failed= line); a worker that fails
// tells its input side; a worker asking for a group the job cannot produce is refused at once.
// Every process is real and bounded by a timeout that only catches hangs.

#include "e2e/pair_job.hpp"
#include "e2e/worker_output.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(60);

// The text of the file at `path` once it holds a whole line, or "" after `bound`.
std::string text_when_written(const std::string& path,
                              std::chrono::seconds bound = std::chrono::seconds(30)) {
    std::string text;
    eventually(
        [&] {
            text = std::filesystem::exists(path) ? read_file(path) : "";
            return text.find('\n') != std::string::npos;
        },
        bound);
    return text;
}

// Established loopback connections whose local end is `port`: the peers a listener has.
int connections_to(int port) {
    std::istringstream lines(read_file("/proc/net/tcp"));
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        unsigned local_port = 0, state = 0;
        if (std::sscanf(line.c_str(), "%*s %*[0-9A-F]:%x %*s %x", &local_port, &state) == 2 &&
            int(local_port) == port && state == 0x01)
            ++count;
    }
    return count;
}

// Standard error without the timing lines has exactly one line, holding `text`.
::testing::AssertionResult one_line_saying(const child_result& r, const std::string& text) {
    const std::string err = without_timing(without_sanitizer_notes(r.err));
    const auto lines = std::count(err.begin(), err.end(), '\n');
    if (lines == 1 && err.find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected one line with '" << text << "'; got "
                                         << err;
}

std::vector<std::string> worker(const std::string& address, int group,
                                const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"-g", std::to_string(group), "-c", address, "-t", "120"};
    args.insert(args.end(), more.begin(), more.end());
    return shuffler(args);
}

const std::string sam_text =
    "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n"
    "r1\t0\tchr1\t100\t60\t4M\t*\t0\t0\tACGT\tIIII\n"
    "r2\t0\tchr2\t100\t60\t4M\t*\t0\t0\tACGT\tIIII\n";

TEST(Abort, AnInputSideThatFailsMidRunFailsItsConnectedWorkersWithItsReason) {
    const temp_dir dir;
    write_file(dir.file("good.fq"), make_fastq("a", 3000, 1));
    write_file(dir.file("bad.fq"), "@broken\nACGT\n+\nII\n");
    // The corrupt record comes only once both workers are connected.
    const std::string command = "sh -c 'cat " + dir.file("good.fq") + "; while [ ! -e " +
                                dir.file("go") + " ]; do sleep 0.05; done; cat " +
                                dir.file("bad.fq") + "' |";
    const std::string port_file = dir.file("job.port");
    child_process input(shuffler({"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "2", "-t",
                                  "120", "-f", "fastq", "-O", "blksize=2000", command}));
    const std::string text = text_when_written(port_file);
    ASSERT_NE(text, "") << "no port file";
    const std::string address = text.substr(0, text.find('\n'));
    const int port = std::stoi(address.substr(address.rfind(':') + 1));
    child_process w1(worker("@" + port_file, 0, {dir.file("out1.fq")}));
    child_process w2(worker("@" + port_file, 0, {dir.file("out2.fq")}));
    ASSERT_TRUE(eventually([&] { return connections_to(port) >= 2; }, limit))
        << "the workers never connected";
    write_file(dir.file("go"), "");
    const child_result in = input.wait(limit);
    EXPECT_EQ(in.exit_status, 255);
    EXPECT_TRUE(one_line_saying(in, "record 3001")) << in.err;
    for (child_process* w : {&w1, &w2}) {
        const child_result r = w->wait(limit);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_TRUE(one_line_saying(r, ": input side failed: "));
        EXPECT_TRUE(one_line_saying(r, "record 3001"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out1.fq")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out2.fq")));
    EXPECT_NE(read_file(port_file).find("failed="), std::string::npos);
}

TEST(Abort, AnInputSideThatFailsAtStartUpReachesWorkersWaitingOnItsPortFile) {
    const temp_dir dir;
    make_pair(dir, 200);
    write_file(dir.file("corrupt.fq.gz"), std::string("\x1f\x8b\x08\x00", 4) +
                                              std::string(64, 'x'));
    write_file(dir.file("in.sam"), sam_text);
    struct start_up_case {
        const char* name;
        std::vector<std::string> input; // after -l ... --port-file ...
        int status;                     // of the input side
        const char* reason;
    };
    const std::vector<start_up_case> cases = {
        {"missing R2", {dir.file("r_1.fq"), dir.file("missing_2.fq")}, 1, "missing_2.fq"},
        {"corrupt gzip", {dir.file("r_1.fq"), dir.file("corrupt.fq.gz")}, 255, "corrupt.fq.gz"},
        {"contig typo", {"-O", "s1=chrX", dir.file("in.sam")}, 255, "chrX"},
    };
    for (const start_up_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string port_file = dir.file(std::string(c.name) + ".port");
        // The workers come first and wait for the file.
        child_process w1(worker("@" + port_file, 0)), w2(worker("@" + port_file, 0));
        std::vector<std::string> args = {"-l", "127.0.0.1:0", "--port-file", port_file, "-w",
                                         "2", "-t", "120"};
        args.insert(args.end(), c.input.begin(), c.input.end());
        const child_result in = run(shuffler(args), {}, limit);
        EXPECT_EQ(in.exit_status, c.status) << in.err;
        for (child_process* w : {&w1, &w2}) {
            const child_result r = w->wait(limit);
            EXPECT_EQ(r.exit_status, 255);
            // Through the port file, or through the connection of one that came in time.
            EXPECT_TRUE(one_line_saying(r, ": input side failed: "));
            EXPECT_TRUE(one_line_saying(r, c.reason));
        }
        const std::string text = read_file(port_file);
        EXPECT_EQ(text.rfind("failed=", 0), 0u) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    }
}

TEST(Abort, AWorkerThatFailsTellsItsInputSideAtOnce) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 2000);
    const std::string port_file = dir.file("job.port");
    child_process input(
        input_args(dir, {"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "1"}));
    ASSERT_NE(text_when_written(port_file), "") << "no port file";
    // Its output cannot be made: it fails before it takes anything, and says so to the input
    // side, which reports it as any worker's failure and serves the next one.
    const child_result failing =
        run(worker("@" + port_file, 0, {dir.file("missing/out.fq")}), {}, limit);
    EXPECT_EQ(failing.exit_status, 255);
    EXPECT_TRUE(one_line_saying(failing, "No such file or directory"));
    job_result job{{}, {run(worker("@" + port_file, 0), {}, limit)}};
    job.input = input.wait(limit);
    EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
    EXPECT_TRUE(one_line_saying(job.input, ": worker failed; "));
    EXPECT_TRUE(one_line_saying(job.input, "missing/.out.fq.part-"));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(Abort, WorkersOfGroupsTheJobCannotProduceAreRefusedAtOnce) {
    const temp_dir dir;
    make_pair(dir, 200);
    write_file(dir.file("in.sam"), sam_text);
    struct refusal_case {
        const char* name;
        std::vector<std::string> input;
        int group;
        const char* reason;
    };
    const std::vector<refusal_case> cases = {
        {"FASTQ", {dir.file("r_1.fq"), dir.file("r_2.fq")}, 1, "this job produces only group 0"},
        {"SAM shards=4", {"-O", "shards=4", dir.file("in.sam")}, 7,
         "this job produces groups 0 to 4"},
        {"SAM s1 and s3", {"-O", "s1=chr1", "-O", "s3=chr2", dir.file("in.sam")}, 4,
         "this job produces groups 0 to 3"},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string port_file = dir.file(std::string(c.name) + ".port");
        std::vector<std::string> args = {"-l", "127.0.0.1:0", "--port-file", port_file, "-t",
                                         "120"};
        args.insert(args.end(), c.input.begin(), c.input.end());
        child_process input(shuffler(args));
        ASSERT_NE(text_when_written(port_file), "") << "no port file";
        const child_result r = run(worker("@" + port_file, c.group), {}, limit);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_TRUE(one_line_saying(r, "group " + std::to_string(c.group) + " does not exist: " +
                                           c.reason));
        input.signal(SIGTERM);
        input.wait(limit);
    }
}

// Workers of one group all waiting for data when some of them fail: each failure takes its waiter
// out of the middle of the group's queue. The job goes on with the others, every record delivered
// once. (A waiter taken from the middle once crashed the input side.)
TEST(Abort, WorkersThatFailWhileOthersOfTheirGroupWaitLeaveTheJobToThem) {
    const temp_dir dir;
    const int records = 3000;
    write_file(dir.file("in.fq"), make_fastq("r", records, 7));
    const std::string port_file = dir.file("job.port"), go = dir.file("go");
    // Nothing until the test says so: every worker waits on the group meanwhile.
    child_process input(shuffler(
        {"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "2", "-t", "120", "--insecure",
         "-f", "fastq", "-O", "blksize=2000",
         "while [ ! -e " + go + " ]; do sleep 0.05; done; cat " + dir.file("in.fq") + " |"}));
    const std::string text = text_when_written(port_file);
    const int port = std::stoi(text.substr(text.rfind(':') + 1));
    std::vector<std::unique_ptr<child_process>> workers;
    for (int i = 0; i < 5; ++i)
        workers.push_back(std::make_unique<child_process>(worker(
            "@" + port_file, 0, {"--insecure", dir.file("out" + std::to_string(i) + ".fq")})));
    ASSERT_TRUE(eventually([&] { return connections_to(port) >= 5; }, limit))
        << "the workers never connected";
    for (int i : {1, 2, 3})
        workers[std::size_t(i)]->signal(SIGKILL);
    for (int i : {1, 2, 3})
        workers[std::size_t(i)]->wait(limit);
    write_file(go, "");
    const child_result in = input.wait(limit);
    EXPECT_EQ(in.exit_status, 0) << in.err;
    std::string delivered;
    for (int i : {0, 4}) {
        const child_result w = workers[std::size_t(i)]->wait(limit);
        EXPECT_EQ(w.exit_status, 0) << w.err;
        delivered += read_file(dir.file("out" + std::to_string(i) + ".fq"));
    }
    std::vector<std::string> names;
    std::istringstream lines(delivered);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("@r", 0) == 0)
            names.push_back(line.substr(0, line.find(' ')));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names.size(), std::size_t(records));
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end()) << "a record came twice";
}

// One worker's consumer fails once the group is all delivered, while another worker of the group
// is finishing: the run fails, and the other either completes (exit 0, its output whole and in
// place: it had its end mark) or fails saying why, its output removed; never an output left by
// a failed worker, nor a bare "Broken pipe". Which of the two depends on timing: a few rounds.
TEST(Abort, AWorkerFinishingWhenAnotherFailsCompletesOrFailsWithTheReason) {
    const temp_dir dir;
    make_pair(dir, 20000, 100);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::string port_file = dir.file("job" + std::to_string(round) + ".port");
        const std::string out = dir.file("out" + std::to_string(round) + ".fq");
        child_process input(shuffler({"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "2",
                                      "-t", "120", "-O", "blksize=50000", dir.file("r_1.fq"),
                                      dir.file("r_2.fq")}));
        // The failing worker first, so that it takes data: a worker that took none checks its
        // command only after its final acknowledgement, and its input side may then succeed.
        const std::string text = text_when_written(port_file);
        const int port = std::stoi(text.substr(text.rfind(':') + 1));
        child_process failing(worker("@" + port_file, 0, {"| cat > /dev/null; exit 1"}));
        ASSERT_TRUE(eventually([&] { return connections_to(port) >= 1; }, limit));
        child_process finishing(worker("@" + port_file, 0, {out}));
        EXPECT_EQ(input.wait(limit).exit_status, 255);
        EXPECT_EQ(failing.wait(limit).exit_status, 255);
        const child_result r = finishing.wait(limit);
        if (r.exit_status == 0) {
            EXPECT_TRUE(std::filesystem::exists(out));
        } else {
            EXPECT_EQ(r.exit_status, 255);
            EXPECT_TRUE(one_line_saying(r, ": input side failed: ")) << r.err;
            EXPECT_FALSE(std::filesystem::exists(out)) << "a failed worker left its output";
        }
    }
}

} // namespace
} // namespace shuffler_test
