// End-to-end spilling: a coordinate-sorted SAM much larger than the input side's pool, sharded
// to workers that drain at a fixed slow rate. With spilling the shards progress side by side and
// every line arrives exactly once; the spill directory is empty after any end; a spill
// directory that cannot take the file, or fills up, is one error line.

#include "e2e/worker_output.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(60);

// Two contigs, each with `bytes` of alignment lines in position order: shard 1 is chr1, shard 2
// chr2, and the input delivers all of shard 1 before any of shard 2.
struct sorted_sam {
    std::string header = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000000\n"
                         "@SQ\tSN:chr2\tLN:100000000\n";
    std::string shard[2];

    explicit sorted_sam(std::size_t bytes) {
        const std::string seq(100, 'A'), qual(100, 'I');
        for (int s = 0; s < 2; ++s) {
            shard[s] = header;
            for (long i = 0; shard[s].size() < bytes; ++i)
                shard[s] += "r" + std::to_string(s) + "_" + std::to_string(i) + "\t0\tchr" +
                            std::to_string(s + 1) + "\t" + std::to_string(i + 1) +
                            "\t60\t100M\t*\t0\t0\t" + seq + "\t" + qual + "\n";
        }
    }
    std::string text() const { return shard[0] + shard[1].substr(header.size()); }
};

// Reads a worker's piped output at about `rate` bytes a second, as a slow consumer would, and
// notes when it had received its first `mark` bytes.
class throttled_drain {
public:
    throttled_drain(child_process& worker, double rate, std::size_t mark) {
        const int fd = worker.output_reader();
        const auto start = std::chrono::steady_clock::now();
        text_ = std::async(std::launch::async, [this, fd, rate, mark, start] {
            std::string text;
            char buffer[65536];
            auto due = start;
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                text.append(buffer, std::size_t(got));
                bytes_ += std::size_t(got);
                if (text.size() >= mark && marked_ < 0)
                    marked_ = seconds_since(start);
                due += std::chrono::microseconds(long(double(got) / rate * 1e6));
                std::this_thread::sleep_until(due);
            }
            return text;
        });
    }
    std::string text() { return text_.get(); }
    // Seconds from the start until `mark` bytes had arrived; negative before.
    double marked() const { return marked_; }
    std::size_t bytes() const { return bytes_; }

private:
    static double seconds_since(std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    }
    std::atomic<double> marked_{-1};
    std::atomic<std::size_t> bytes_{0};
    std::future<std::string> text_;
};

bool empty_dir(const std::string& path) { return std::filesystem::is_empty(path); }

std::vector<std::string> input_args(const temp_dir& dir, int port, const std::string& spill_dir,
                                    std::vector<std::string> extra = {}) {
    // Eight blocks: what three workers hold unacknowledged (two each, never spilled), one for
    // the producer and one to read back into.
    std::vector<std::string> a = {"-l", loopback(port), "-t", "60", "-w", "3", "-S", "32M",
                                  "-O", "s1=chr1", "-O", "s2=chr2", "--spill-dir", spill_dir,
                                  "--summary"};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(dir.file("in.sam"));
    return shuffler(a);
}

std::vector<std::string> worker_args(int port, int group) {
    return shuffler({"-g", std::to_string(group), "-c", loopback(port), "-t", "60"});
}

TEST(Spill, SlowShardsOfASortedInputProgressTogetherAndGetEveryLineOnce) {
    const temp_dir dir, spill;
    const sorted_sam sam(80 << 20); // each shard more than twice the pool
    write_file(dir.file("in.sam"), sam.text());
    const double rate = 20e6;
    for (const bool spilling : {true, false}) {
        SCOPED_TRACE(spilling ? "spilling" : "--spill-dir none");
        const int port = free_port();
        child_process input(input_args(dir, port, spilling ? spill.file("") : "none"));
        ASSERT_TRUE(wait_listening(port));
        child_process zero(worker_args(port, 0));
        child_process one(worker_args(port, 1), {}, true), two(worker_args(port, 2), {}, true);
        throttled_drain one_out(one, rate, 1 << 20), two_out(two, rate, 1 << 20);
        const std::string got[2] = {one_out.text(), two_out.text()};
        const child_result in = input.wait(limit);
        EXPECT_EQ(in.exit_status, 0) << in.err;
        EXPECT_TRUE(ended_cleanly(zero.wait(limit)));
        EXPECT_TRUE(ended_cleanly(one.wait(limit)));
        EXPECT_TRUE(ended_cleanly(two.wait(limit)));
        EXPECT_TRUE(got[0] == sam.shard[0]) << "shard 1 differs";
        EXPECT_TRUE(got[1] == sam.shard[1]) << "shard 2 differs";
        // Draining a shard takes two seconds. Shard 2 comes after all of shard 1 in the input:
        // without spilling it can start only once shard 1 has drained down to what the pool
        // and the window hold (about half of it); with spilling, as soon as the input side has
        // read that far.
        const double quarter = double(sam.shard[0].size()) / rate / 4;
        if (spilling) {
            EXPECT_LT(two_out.marked(), quarter) << "shard 2 waited for shard 1";
            EXPECT_NE(in.err.find("summary: spill: "), std::string::npos) << in.err;
        } else {
            EXPECT_GT(two_out.marked(), quarter);
            EXPECT_EQ(in.err.find("summary: spill: "), std::string::npos) << in.err;
        }
        EXPECT_TRUE(empty_dir(spill.file(""))) << "a spill file was left behind";
    }
}

// A worker killed while its group's messages are spilled, those it held unacknowledged among
// them: a replacement gets them all, read back from the spill file.
TEST(Spill, AKilledWorkersSpilledMessagesAreSentAgainFromTheFile) {
    const temp_dir dir, spill;
    const sorted_sam sam(48 << 20);
    write_file(dir.file("in.sam"), sam.text());
    const int port = free_port();
    child_process input(input_args(dir, port, spill.file("")));
    ASSERT_TRUE(wait_listening(port));
    child_process zero(worker_args(port, 0)), two(worker_args(port, 2));
    // Reads nothing: its window stays full and everything else of shard 1 queues.
    child_process doomed(worker_args(port, 1), {}, true);
    // Shard 2 follows all of shard 1 in the input: once it is through, shard 1 has been read,
    // and most of it, far more than the pool, is in the spill file.
    EXPECT_TRUE(ended_cleanly(two.wait(limit)));
    doomed.signal(SIGKILL);
    EXPECT_NE(doomed.wait(limit).exit_status, 0);
    child_process survivor(worker_args(port, 1), {}, true);
    throttled_drain out(survivor, 1e9, 1);
    const std::string got = out.text();
    const child_result in = input.wait(limit);
    EXPECT_EQ(in.exit_status, 0) << in.err;
    EXPECT_NE(in.err.find("worker failed; 2 messages sent again"), std::string::npos) << in.err;
    EXPECT_NE(in.err.find("summary: spill: "), std::string::npos) << in.err;
    EXPECT_TRUE(ended_cleanly(survivor.wait(limit)));
    EXPECT_TRUE(ended_cleanly(zero.wait(limit)));
    EXPECT_TRUE(got == sam.shard[0]) << "shard 1 differs: " << got.size() << " bytes";
    EXPECT_TRUE(empty_dir(spill.file("")));
}

TEST(Spill, NothingIsLeftInTheSpillDirectoryWhenTheInputSideIsKilled) {
    const temp_dir dir, spill;
    const sorted_sam sam(48 << 20);
    write_file(dir.file("in.sam"), sam.text());
    const int port = free_port();
    child_process input(input_args(dir, port, spill.file("")));
    ASSERT_TRUE(wait_listening(port));
    child_process zero(worker_args(port, 0)), two(worker_args(port, 2));
    child_process stalled(worker_args(port, 1), {}, true); // its group spills
    EXPECT_TRUE(ended_cleanly(two.wait(limit)));
    input.signal(SIGKILL);
    EXPECT_EQ(input.wait(limit).exit_status, 128 + SIGKILL);
    EXPECT_TRUE(empty_dir(spill.file("")));
}

TEST(Spill, ASpillDirectoryThatCannotTakeTheFileIsOneErrorLine) {
    const temp_dir dir, spill;
    write_file(dir.file("in.sam"), sorted_sam(1000).text());
    const int port = free_port();
    const child_result r = run(input_args(dir, port, spill.file("missing")), {}, limit);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err),
              spill.file("missing") + ": cannot create a spill file: No such file or directory\n");
}

// A full file system, made with a small tmpfs where the test may mount one (as root).
TEST(Spill, AFullSpillDirectoryIsOneErrorLineNamingTheFile) {
    const temp_dir dir, spill;
    if (::geteuid() != 0 ||
        run({"/bin/mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", spill.file("")}).exit_status)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    const sorted_sam sam(48 << 20);
    write_file(dir.file("in.sam"), sam.text());
    const int port = free_port();
    child_process input(input_args(dir, port, spill.file(""), {"--spill-max", "1G"}));
    ASSERT_TRUE(wait_listening(port));
    child_process zero(worker_args(port, 0)), two(worker_args(port, 2));
    child_process stalled(worker_args(port, 1), {}, true);
    const child_result r = input.wait(limit);
    run({"/bin/umount", spill.file("")});
    EXPECT_EQ(r.exit_status, 255);
    const std::string err = without_timing(r.err);
    EXPECT_EQ(err.substr(0, err.find('\n') + 1),
              "spill file in " + spill.file("") + ": No space left on device\n");
    EXPECT_EQ(err.find("No space", err.find('\n')), std::string::npos) << "more than one line";
}

} // namespace
} // namespace shuffler_test
