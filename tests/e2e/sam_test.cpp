// End-to-end SAM sharding: an input side reads SAM text from the file named on its command line
// (standard input when none, or "-") and routes each line by position to the group of its shard
// (-O s<k>=intervals); group 0 takes the rest. One worker per group receives exactly that
// group's lines, in input order.

#include "e2e/worker_output.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

namespace shuffler_test {
namespace {

const std::string header = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000\n"
                           "@SQ\tSN:chr2\tLN:100000\n";

std::string line(const std::string& name, const std::string& contig, long position) {
    return name + "\t0\t" + contig + "\t" + std::to_string(position) +
           "\t60\t4M\t*\t0\t0\tACGT\tIIII\n";
}

child_input piped(const std::string& data) { return {child_input::pipe, data}; }

TEST(SamSharding, LinesGoToTheShardHoldingTheirPosition) {
    const std::string last = "j\t0\tchr2\t150\t60\t*\t*\t0\t0\tAC\tII"; // no line feed
    temp_dir dir;
    write_file(dir.file("in.sam"),
               header + line("a", "chr1", 1) + line("b", "chr2", 99) + line("c", "chr2", 100) +
                   "\n" + // blank: carries nothing
                   line("d", "chr2", 200) + line("e", "chr2", 201) + line("f", "chr1", 0) +
                   line("g", "*", 0) + line("h", "chr3", 150) + line("i", "chr1", 99999) + last);
    ASSERT_EQ(run({"/bin/sh", "-c", "gzip -nc " + dir.file("in.sam") + " >" +
                                        dir.file("in.sam.gz")})
                  .exit_status,
              0);
    // The file named, with other SAM text waiting on standard input that must not be read; the
    // same compressed; and "-", standard input, here a regular file (read through a relay).
    const std::pair<std::vector<std::string>, child_input> sources[] = {
        {{dir.file("in.sam")}, piped(header + line("stdin", "chr1", 5))},
        {{dir.file("in.sam.gz")}, {}},
        {{"-f", "sam", "-"}, {child_input::file, dir.file("in.sam")}},
    };
    for (const auto& [source, in] : sources) {
        SCOPED_TRACE(source.back());
        std::vector<std::string> args = {"-O", "s1=chr1", "-O", "s2=chr2:100-200"};
        args.insert(args.end(), source.begin(), source.end());
        const job_result job = run_job(args, {0, 1, 2}, in);
        EXPECT_TRUE(job_ended_cleanly(job));
        // Position 0 lies before every interval, even a whole contig's.
        EXPECT_EQ(job.workers[0].out, header + line("b", "chr2", 99) + line("e", "chr2", 201) +
                                          line("f", "chr1", 0) + line("g", "*", 0) +
                                          line("h", "chr3", 150));
        EXPECT_EQ(job.workers[1].out, header + line("a", "chr1", 1) + line("i", "chr1", 99999));
        EXPECT_EQ(job.workers[2].out,
                  header + line("c", "chr2", 100) + line("d", "chr2", 200) + last + "\n");
    }
}

TEST(SamSharding, OverlapsGoToTheFirstShardInKeyOrderAndIdleShardsGetTheHeader) {
    // Keys order byte-wise: s1, s10, s2.
    std::vector<int> groups;
    for (int g = 0; g <= 10; ++g)
        groups.push_back(g);
    const job_result job = run_job(
        {"-f", "sam", "-O", "s2=chr1:1-1000", "-O", "s10=chr1:50-150", "-O", "s1=chr1:1-100"},
        groups,
        piped(header + line("x", "chr1", 60) + line("y", "chr1", 120) + line("z", "chr1", 500) +
              line("w", "chr1", 2000)));
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_EQ(job.workers[0].out, header + line("w", "chr1", 2000));
    EXPECT_EQ(job.workers[1].out, header + line("x", "chr1", 60));
    EXPECT_EQ(job.workers[2].out, header + line("z", "chr1", 500));
    EXPECT_EQ(job.workers[10].out, header + line("y", "chr1", 120));
    for (int g = 3; g < 10; ++g)
        EXPECT_EQ(job.workers[g].out, header) << "group " << g;
}

TEST(SamSharding, ShardLargerThanABlockArrivesWholeAndInOrder) {
    // About 7 MiB for shard 1 and 1 MiB for group 0, interleaved: shard 1's messages close
    // several times while group 0's stays open.
    std::string sam = header, one = header, zero = header;
    for (int i = 0; i < 48000; ++i) {
        const std::string l = "r" + std::to_string(i) + "\t0\t" + (i % 8 ? "chr1" : "chr2") + "\t" +
                              std::to_string(1 + i) + "\t60\t*\t*\t0\t0\t" + std::string(150, 'Q') +
                              "\n";
        sam += l;
        (i % 8 ? one : zero) += l;
    }
    ASSERT_GT(one.size(), std::size_t(6) << 20);
    const job_result job = run_job({"-f", "sam", "-O", "s1=chr1"}, {0, 1}, piped(sam));
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(job.workers[0].out == zero)
        << job.workers[0].out.size() << " bytes, not " << zero.size();
    EXPECT_TRUE(job.workers[1].out == one)
        << job.workers[1].out.size() << " bytes, not " << one.size();
}

// Seven shards in an eight-block pool leave no block to spare. A line that needs two blocks
// closes its shard's full message, which must go out before the input side waits for them:
// sending it is what frees one.
TEST(SamSharding, AFullMessageGoesOutBeforeTheInputSideWaitsForBlocks) {
    const std::string first = line("a", "chr1", 1);
    std::string big = "b\t0\tchr1\t2\t60\t*\t*\t0\t0\t";
    big += std::string(4194300 - big.size() - 1, 'A') + "\n"; // longer than a message's room
    const std::string last = line("c", "chr2", 5);
    std::vector<std::string> args = {"-f", "sam", "-S", "32M"};
    std::vector<int> groups = {0};
    for (int k = 1; k <= 6; ++k) {
        args.insert(args.end(), {"-O", "s" + std::to_string(k) + "=chr1:" +
                                           std::to_string(10 * k - 9) + "-" +
                                           std::to_string(10 * k)});
        groups.push_back(k);
    }
    const job_result job = run_job(args, groups, piped(header + first + big + last));
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_EQ(job.workers[0].out, header + last);
    EXPECT_TRUE(job.workers[1].out == header + first + big)
        << job.workers[1].out.size() << " bytes";
}

TEST(SamSharding, EmptyInputGivesEveryWorkerNothing) {
    const job_result job = run_job({"-f", "sam", "-O", "s1=chr1"}, {0, 1});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_EQ(job.workers[0].out, "");
    EXPECT_EQ(job.workers[1].out, "");
}

TEST(SamSharding, AlignmentLineWithFewerThanFourFieldsFails) {
    const child_result r =
        run(shuffler({"-l", any_loopback_port, "-t", "60", "-f", "sam", "-O", "s1=chr1"}),
            piped(header + line("a", "chr1", 5) + "b\t0\tchr1\n" + line("c", "chr1", 6)),
            std::chrono::seconds(90));
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), "stdin: line 5 has fewer than four fields\n");
}

// Refused before anything is read: status 1, the reason, then the usage text, long before the
// deadline.
TEST(SamSharding, BadShardOptionsAreRefusedBeforeReading) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-O", "s0=chr1"},
         "Invalid shard id 0: shards are numbered 1 to 1023 with --max_groups 1024"},
        {{"-O", "s1=chr1", "-O", "s5=chr2", "-G", "5"},
         "Invalid shard id 5: shards are numbered 1 to 4 with --max_groups 5"},
        {{"-O", "s70000=chr1", "-G", "65536"},
         "Invalid shard id 70000: shards are numbered 1 to 65535 with --max_groups 65536"},
        // Not shard 1 in 32 bits.
        {{"-O", "s4294967297=chr1"},
         "Invalid shard id 4294967297: shards are numbered 1 to 1023 with --max_groups 1024"},
        {{"-O", "s1=chr1:0-5"},
         "Invalid shard s1: bad interval 'chr1:0-5': position 0 is not within 1 to 4294967295"},
        {{"-O", "blksize=5"}, "-O blksize is for fastq input, not sam input"},
        {{}, "Missing shard options: SAM input is routed by -O s<k>=INTERVALS or -O shards=N"},
        // Every shard holds a block from the start, and one more must circulate.
        {{"-S", "256M", "-G", "100", "-O", "s64=chr1"},
         "Too many shards: 65 need more blocks than the pool's 64; raise --pool_size"},
    };
    std::vector<std::unique_ptr<child_process>> runs;
    for (const auto& [options, err] : cases) {
        std::vector<std::string> args = {"-l", any_loopback_port, "-t", "60", "-f", "sam"};
        args.insert(args.end(), options.begin(), options.end());
        runs.push_back(std::make_unique<child_process>(
            shuffler(args), piped(header + line("a", "chr1", 5) + line("b", "chr2", 5))));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const child_result r = runs[i]->wait(std::chrono::seconds(60));
        EXPECT_EQ(r.exit_status, 1) << cases[i].second;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), cases[i].second);
        EXPECT_NE(r.err.find("\nUsage: "), std::string::npos) << r.err;
    }
}

// Every output of a shard is a SAM file, whichever worker wrote it: the header first and once.
// Worker A takes the shard's first message and cannot acknowledge it (nobody reads its output,
// and a message larger than its pipe is never all written); B then writes data; A is killed,
// and its messages go to B, after B has written some of its own.
TEST(SamSharding, AMessageSentAgainNeverCarriesTheHeaderIntoAnotherWorkersOutput) {
    const temp_dir dir;
    std::string body; // about 16 MB on chr1: four 4 MiB messages for shard 1
    std::vector<std::string> expected;
    for (long i = 0; i < 64000; ++i) {
        const std::string l = "r" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(1 + i) +
                              "\t60\t100M\t*\t0\t0\t" + std::string(100, "ACGT"[i % 4]) +
                              "\t" + std::string(100, 'I') + "\n";
        body += l;
        expected.push_back(l);
    }
    write_file(dir.file("in.sam"), header + body);
    const std::string port_file = dir.file("job.port");
    child_process input(shuffler({"-l", any_loopback_port, "--port-file", port_file, "--insecure",
                                  "-t", "60", "-w", "2", "-O", "s1=chr1", dir.file("in.sam")}));
    const auto worker = [&] {
        return shuffler({"-g", "1", "-c", "@" + port_file, "--insecure", "-t", "60"});
    };
    child_process a(worker(), {}, true);
    pollfd p = {a.output_reader(), POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 60000), 0) << "A received nothing";
    child_process b(worker(), {}, true);
    std::string b_out;
    char buffer[65536];
    p = {b.output_reader(), POLLIN, 0};
    while (b_out.size() < 200000) { // past B's header: B has written data of its own
        ASSERT_GT(::poll(&p, 1, 60000), 0) << "B received no data";
        const ssize_t got = ::read(b.output_reader(), buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        b_out.append(buffer, std::size_t(got));
    }
    a.signal(SIGKILL);
    for (ssize_t got; (got = ::read(b.output_reader(), buffer, sizeof buffer)) > 0;)
        b_out.append(buffer, std::size_t(got));
    const child_result in = input.wait(std::chrono::seconds(60));
    EXPECT_EQ(b.wait(std::chrono::seconds(60)).exit_status, 0);
    EXPECT_EQ(in.exit_status, 0) << in.err;
    ASSERT_EQ(b_out.rfind(header, 0), 0u) << "B's output does not start with the header";
    std::vector<std::string> lines;
    for (std::size_t at = header.size(); at < b_out.size();) {
        const std::size_t end = b_out.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        lines.push_back(b_out.substr(at, end + 1 - at));
        at = end + 1;
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l[0] == '@'; }),
              0)
        << "a header line inside B's output";
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(lines == expected) << lines.size() << " lines, not " << expected.size();
}

} // namespace
} // namespace shuffler_test
