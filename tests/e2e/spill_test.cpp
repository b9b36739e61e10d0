// End-to-end spilling: a coordinate-sorted SAM much larger than the input side's pool, sharded
// to workers that drain at a fixed slow rate. With spilling the shards progress side by side and
// every line arrives exactly once; the spill directory is empty after any end; a spill
// directory that cannot take the file, or fills up, is one error line.

#include "e2e/pair_job.hpp"

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

// Reads a worker's piped output at about `rate` bytes a second, as a slow consumer would, from
// the moment start() is called (at once unless `held`). Once its first `mark` bytes are in, it
// notes how many bytes `other` (another drain, if any) had received by then: progress is judged
// against the other shard's, never against the clock, so a loaded machine changes nothing.
class throttled_drain {
public:
    throttled_drain(child_process& worker, double rate, std::size_t mark = 1,
                    const throttled_drain* other = nullptr, bool held = false)
        : started_(!held) {
        const int fd = worker.own_output_reader(); // waiting for the worker closes the other
        text_ = std::async(std::launch::async, [this, fd, rate, mark, other] {
            while (!started_)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::string text;
            char buffer[65536];
            auto due = std::chrono::steady_clock::now();
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                text.append(buffer, std::size_t(got));
                bytes_ += std::size_t(got);
                if (text.size() >= mark && !marked_) {
                    other_at_mark_ = other ? other->bytes() : 0;
                    marked_ = true;
                }
                due += std::chrono::microseconds(long(double(got) / rate * 1e6));
                std::this_thread::sleep_until(due);
            }
            ::close(fd);
            return text;
        });
    }
    void start() { started_ = true; }
    std::string text() { return (started_ = true, text_.get()); }
    bool marked() const { return marked_; }
    // What `other` had received when this drain reached its mark.
    std::size_t other_at_mark() const { return other_at_mark_; }
    std::size_t bytes() const { return bytes_; }

private:
    std::atomic<bool> started_, marked_{false};
    std::atomic<std::size_t> bytes_{0}, other_at_mark_{0};
    std::future<std::string> text_;
};

bool empty_dir(const std::string& path) { return std::filesystem::is_empty(path); }

// The input side, listening where it writes to `port_file`, sharding dir/in.sam to three
// workers.
std::vector<std::string> spill_input(const temp_dir& dir, const std::string& port_file,
                                     const std::string& spill_dir,
                                     std::vector<std::string> extra = {}) {
    // Eight blocks: what three workers hold unacknowledged (two each, never spilled), one for
    // the producer and one to read back into.
    std::vector<std::string> a = {"-S", "32M", "-O", "s1=chr1", "-O", "s2=chr2", "--spill-dir",
                                  spill_dir, "--summary"};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(dir.file("in.sam"));
    a.insert(a.end(), plain.begin(), plain.end());
    return listening_input(port_file, 3, a);
}

TEST(Spill, SlowShardsOfASortedInputProgressTogetherAndGetEveryLineOnce) {
    const temp_dir dir, spill;
    const sorted_sam sam(80 << 20); // each shard more than twice the pool
    write_file(dir.file("in.sam"), sam.text());
    const double rate = 20e6;
    for (const bool spilling : {true, false}) {
        SCOPED_TRACE(spilling ? "spilling" : "--spill-dir none");
        const temp_dir rendezvous;
        const std::string port_file = rendezvous.file("job.port");
        child_process input(spill_input(dir, port_file, spilling ? spill.file("") : "none"));
        child_process zero(worker_args("@" + port_file, 0, plain));
        child_process one(worker_args("@" + port_file, 1, plain), {}, true),
            two(worker_args("@" + port_file, 2, plain), {}, true);
        // With spilling, shard 1's consumer takes nothing at all until shard 2's has had its
        // first MiB: shard 2 must get through without waiting for shard 1.
        throttled_drain one_out(one, rate, 1, nullptr, spilling),
            two_out(two, rate, 1 << 20, &one_out);
        if (spilling) {
            EXPECT_TRUE(eventually([&] { return two_out.marked(); }, std::chrono::seconds(60)))
                << "shard 2 waited for shard 1";
        }
        one_out.start();
        const std::string got[2] = {one_out.text(), two_out.text()};
        const child_result in = input.wait(limit);
        EXPECT_EQ(in.exit_status, 0) << in.err;
        EXPECT_TRUE(ended_cleanly(zero.wait(limit)));
        EXPECT_TRUE(ended_cleanly(one.wait(limit)));
        EXPECT_TRUE(ended_cleanly(two.wait(limit)));
        EXPECT_TRUE(got[0] == sam.shard[0]) << "shard 1 differs";
        EXPECT_TRUE(got[1] == sam.shard[1]) << "shard 2 differs";
        // Shard 2 comes after all of shard 1 in the input: without spilling it can start only
        // once shard 1 has drained down to what the pool and the windows hold (about half of
        // it); with spilling, as soon as the input side has read that far, whatever shard 1's
        // consumer does.
        const std::size_t quarter = sam.shard[0].size() / 4;
        if (spilling) {
            EXPECT_EQ(two_out.other_at_mark(), 0u) << "shard 2 waited for shard 1";
            EXPECT_NE(in.err.find("summary: spill: "), std::string::npos) << in.err;
        } else {
            EXPECT_GT(two_out.other_at_mark(), quarter);
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
    const std::string port_file = dir.file("job.port");
    child_process input(spill_input(dir, port_file, spill.file("")));
    child_process zero(worker_args("@" + port_file, 0, plain)),
        two(worker_args("@" + port_file, 2, plain));
    // Reads nothing: its window stays full and everything else of shard 1 queues.
    child_process doomed(worker_args("@" + port_file, 1, plain), {}, true);
    // Shard 2 follows all of shard 1 in the input: once it is through, shard 1 has been read,
    // and most of it, far more than the pool, is in the spill file.
    EXPECT_TRUE(ended_cleanly(two.wait(limit)));
    doomed.signal(SIGKILL);
    EXPECT_NE(doomed.wait(limit).exit_status, 0);
    child_process survivor(worker_args("@" + port_file, 1, plain), {}, true);
    throttled_drain out(survivor, 1e9);
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
    const std::string port_file = dir.file("job.port");
    child_process input(spill_input(dir, port_file, spill.file("")));
    child_process zero(worker_args("@" + port_file, 0, plain)),
        two(worker_args("@" + port_file, 2, plain));
    child_process stalled(worker_args("@" + port_file, 1, plain), {}, true); // its group spills
    EXPECT_TRUE(ended_cleanly(two.wait(limit)));
    input.signal(SIGKILL);
    EXPECT_EQ(input.wait(limit).exit_status, 128 + SIGKILL);
    EXPECT_TRUE(empty_dir(spill.file("")));
}

TEST(Spill, ASpillDirectoryThatCannotTakeTheFileIsOneErrorLine) {
    const temp_dir dir, spill;
    write_file(dir.file("in.sam"), sorted_sam(1000).text());
    const child_result r =
        run(spill_input(dir, dir.file("job.port"), spill.file("missing")), {}, limit);
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
    const std::string port_file = dir.file("job.port");
    child_process input(spill_input(dir, port_file, spill.file(""), {"--spill-max", "1G"}));
    child_process zero(worker_args("@" + port_file, 0, plain)),
        two(worker_args("@" + port_file, 2, plain));
    child_process stalled(worker_args("@" + port_file, 1, plain), {}, true);
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
