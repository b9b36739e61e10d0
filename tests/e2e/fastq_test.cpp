// End-to-end FASTQ dicing: an input side cuts one file or a pair into tagged blocks of group 0,
// and the workers that ask for group 0 share them. Every dicing run is checked by rebuilding
// the input from the union of the workers' outputs.

#include "e2e/worker_output.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace shuffler_test {
namespace {

// `count` records named <name><i>, with 1 to 40 bases each, varied by `seed`; lines end in `eol`.
std::string make_fastq(const std::string& name, int count, unsigned seed,
                       const std::string& eol = "\n") {
    std::string text;
    unsigned state = seed * 2654435761u + 1;
    for (int i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        const std::size_t length = 1 + (state >> 16) % 40;
        std::string bases, quality;
        for (std::size_t j = 0; j < length; ++j) {
            state = state * 1103515245u + 12345u;
            bases += "ACGTN"[(state >> 16) % 5];
            quality += char('!' + (state >> 20) % 40);
        }
        text += "@" + name + std::to_string(i) + " len=" + std::to_string(length) + eol + bases +
                eol + "+" + eol + quality + eol;
    }
    return text;
}

std::string gzip(const temp_dir& dir, const std::string& name, const std::string& data) {
    write_file(dir.file(name), data);
    const child_result r = run({"/bin/sh", "-c", "gzip -n '" + dir.file(name) + "'"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return dir.file(name) + ".gz";
}

// An input side with no workers, for runs that must fail before their deadline.
child_result run_alone(std::vector<std::string> args, child_input in = {}) {
    args.insert(args.begin(), {"-l", "127.0.0.1:" + std::to_string(free_port()), "-t", "10"});
    return run(shuffler(args), std::move(in), std::chrono::seconds(30));
}

TEST(FastqDicing, OneFileWithTheDefaultBlockSizeIsOneTaggedBlock) {
    temp_dir dir;
    const std::string input = make_fastq("r", 60, 1);
    write_file(dir.file("reads.fq"), input);
    const job_result job = run_job({dir.file("reads.fq")}, {0});
    EXPECT_TRUE(job_ended_cleanly(job));
    std::string expected = input;
    expected.insert(expected.find('\n'), " #0#");
    EXPECT_EQ(job.workers[0].out, expected);
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {input}, 10000000));
}

TEST(FastqDicing, SmallBlocksAreSharedByThreeWorkers) {
    temp_dir dir;
    const std::string input = make_fastq("read", 500, 2);
    write_file(dir.file("reads.fastq"), input);
    const job_result job = run_job({"-O", "blksize=60", dir.file("reads.fastq")}, {0, 0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    std::size_t blocks = 0;
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {input}, 60, &blocks));
    EXPECT_GT(blocks, 100u);
}

TEST(FastqDicing, TwoFilesAreAPairDicedInLockstep) {
    temp_dir dir;
    // Names that do not look like FASTQ: two files always mean a pair.
    const std::string first = make_fastq("p", 300, 3), second = make_fastq("p", 300, 4);
    write_file(dir.file("left.txt"), first);
    write_file(dir.file("right.txt"), second);
    const job_result job =
        run_job({"-O", "blksize=45", dir.file("left.txt"), dir.file("right.txt")}, {0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    std::size_t blocks = 0;
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {first, second}, 45, &blocks));
    EXPECT_GT(blocks, 50u);
}

TEST(FastqDicing, CompressedPairIsDecompressed) {
    temp_dir dir;
    const std::string first = make_fastq("z", 200, 5), second = make_fastq("z", 200, 6);
    const std::string a = gzip(dir, "a.fq", first), b = gzip(dir, "b.fq", second);
    const job_result job = run_job({"-O", "blksize=100", a, b}, {0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {first, second}, 100));
}

TEST(FastqDicing, NameEndingInABarIsACommandToRead) {
    temp_dir dir;
    const std::string input = make_fastq("c", 150, 7);
    write_file(dir.file("reads.fq"), input);
    const job_result job =
        run_job({"-f", "fastq", "-O", "blksize=30", "cat " + dir.file("reads.fq") + " |"}, {0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {input}, 30));
}

TEST(FastqDicing, CrlfRecordsKeepTheirBytesAndCountBasesWithoutTheCr) {
    temp_dir dir;
    const std::string input = make_fastq("w", 200, 8, "\r\n");
    write_file(dir.file("dos.fq"), input);
    const job_result job = run_job({"-O", "blksize=33", dir.file("dos.fq")}, {0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {input}, 33));
}

TEST(FastqDicing, StandardInputWithoutFiles) {
    const std::string input = make_fastq("s", 120, 9);
    const job_result job = run_job({"-f", "fastq", "-O", "blksize=50"}, {0, 0},
                                   {child_input::pipe, "", input});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {input}, 50));
}

TEST(FastqDicing, ZeroRecordsGiveTheWorkersNothing) {
    temp_dir dir;
    write_file(dir.file("empty.fq"), "");
    const job_result job = run_job({dir.file("empty.fq")}, {0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_EQ(job.workers[0].out, "");
    EXPECT_EQ(job.workers[1].out, "");
}

TEST(FastqDicing, LastRecordLackingItsFinalLineFeedGetsOne) {
    temp_dir dir;
    const std::string input = make_fastq("e", 21, 10);
    write_file(dir.file("cut.fq"), input.substr(0, input.size() - 1));
    const job_result job = run_job({"-O", "blksize=20", dir.file("cut.fq")}, {0, 0});
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(outputs_of(job), {input}, 20));
}

TEST(FastqErrors, IncompleteFinalRecord) {
    temp_dir dir;
    const std::string good = make_fastq("g", 2, 11);
    for (const std::string tail : {"@g2\n", "@g2\nACGT", "@g2\nACGT\n+\n", "@g2\nACGT\n+"}) {
        write_file(dir.file("in.fq"), good + tail);
        const child_result r = run_alone({dir.file("in.fq")});
        EXPECT_EQ(r.exit_status, 255) << tail;
        EXPECT_EQ(without_timing(r.err),
                  "dice_fastq: " + dir.file("in.fq") + ": record 3: incomplete record at end of input\n")
            << tail;
    }
}

TEST(FastqErrors, MalformedRecordNamesItsFileAndNumber) {
    temp_dir dir;
    const std::string good = make_fastq("g", 2, 12);
    const struct {
        std::string bad, problem;
    } cases[] = {
        {"g2\nACGT\n+\nIIII\n", "line 1 does not begin with '@'"},
        {"\n@g2\nACGT\n+\nIIII\n", "blank line where a record should start"},
        {"@g2\nACGT\nIIII\n+\n", "line 3 does not begin with '+'"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("one.fq"), good + c.bad);
        const child_result single = run_alone({dir.file("one.fq")});
        EXPECT_EQ(single.exit_status, 255) << c.problem;
        EXPECT_EQ(without_timing(single.err),
                  "dice_fastq: " + dir.file("one.fq") + ": record 3: " + c.problem + "\n");

        // In a pair the second file's record is named by that file.
        write_file(dir.file("mate.fq"), good + make_fastq("g", 1, 13));
        const child_result pair = run_alone({dir.file("mate.fq"), dir.file("one.fq")});
        EXPECT_EQ(pair.exit_status, 255) << c.problem;
        EXPECT_EQ(without_timing(pair.err),
                  "dice_fastq: " + dir.file("one.fq") + ": record 3: " + c.problem + "\n");
    }
}

TEST(FastqErrors, PairedFilesWithDifferentRecordCounts) {
    temp_dir dir;
    write_file(dir.file("three.fq"), make_fastq("t", 3, 14));
    write_file(dir.file("two.fq"), make_fastq("t", 2, 15));
    const child_result longer_first = run_alone({dir.file("three.fq"), dir.file("two.fq")});
    EXPECT_EQ(longer_first.exit_status, 255);
    EXPECT_EQ(without_timing(longer_first.err),
              "dice_fastq: input files hold different numbers of records: " + dir.file("two.fq") +
                  " ended after 2 records, " + dir.file("three.fq") + " has more\n");

    const child_result shorter_first = run_alone({dir.file("two.fq"), dir.file("three.fq")});
    EXPECT_EQ(shorter_first.exit_status, 255);
    EXPECT_EQ(without_timing(shorter_first.err),
              "dice_fastq: input files hold different numbers of records: " + dir.file("two.fq") +
                  " ended after 2 records, " + dir.file("three.fq") + " has more\n");
}

TEST(FastqErrors, RecordLongerThanTheInputBufferFailsInsteadOfHanging) {
    temp_dir dir;
    write_file(dir.file("long.fq"), make_fastq("l", 1, 16) + "@long\n" +
                                        std::string(std::size_t(1) << 22, 'A') + "\n+\n\n");
    const child_result r = run_alone({dir.file("long.fq")});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(without_timing(r.err), "dice_fastq: " + dir.file("long.fq") +
                                         ": record 2 is longer than the 4 MiB input buffer\n");
}

TEST(FastqErrors, BlockSizeThatIsNotPositiveIsRefusedBeforeReading) {
    temp_dir dir;
    write_file(dir.file("in.fq"), make_fastq("b", 4, 17));
    const std::string marker = dir.file("opened");
    for (const std::string value : {"0", "-5", "abc"}) {
        const child_result r =
            run_alone({"-f", "fastq", "-O", "blksize=" + value,
                       "touch " + marker + "; cat " + dir.file("in.fq") + " |"});
        EXPECT_EQ(r.exit_status, 255) << value;
        const std::string err = without_timing(r.err);
        EXPECT_EQ(err.rfind("dice_fastq: ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "more than one line: " << err;
        struct stat st;
        EXPECT_NE(::stat(marker.c_str(), &st), 0) << "the input was opened for blksize " << value;
    }
}

} // namespace
} // namespace shuffler_test
