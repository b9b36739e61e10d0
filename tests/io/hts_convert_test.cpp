// The htslib jobs of file_pump: SAM text encoded into BAM by a worker's output thread, and SAM,
// BAM or CRAM decoded into SAM text in a record reader's ring.

#include "io/byte_ring.hpp"
#include "io/file_pump.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

using namespace shuffler;
using namespace shuffler_test;

namespace {

const std::string header = "@HD\tVN:1.6\tSO:coordinate\n"
                           "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:500\n"
                           "@PG\tID:test\tPN:test\n";
const std::string records = "a\t0\tchr1\t5\t60\t4M\t*\t0\t0\tACGT\tIIII\tNM:i:0\n"
                            "b\t16\tchr1\t900\t60\t2S2M1D2M\t*\t0\t0\tACGTAC\tIIIIII\n"
                            "c\t0\tchr2\t1\t60\t4M\t*\t0\t0\tACGT\t*\tRG:Z:x\n"
                            "u\t4\t*\t0\t0\t*\t*\t0\t0\tNNNN\tIIII\n";

struct pumped {
    std::string problem;
    std::string bytes; // the file written, or the text decoded
};

// Writes `text` into a write_bam pump's pipe and returns the file it made.
pumped encode(const std::string& text, const std::string& path) {
    file_pump::configure_hts({}); // htslib quiet, one thread
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    file_pump pump(fd, file_pump::job::write_bam, path);
    const int loop_end = pump.take_loop_end();
    write_all(loop_end, text);
    ::close(loop_end);
    pumped result;
    result.problem = pump.finish();
    result.bytes = read_file(path);
    return result;
}

// Decodes the file at `path` into a ring (the whole text fits) and returns the ring's bytes.
pumped decode(const std::string& path) {
    byte_ring ring(std::uint64_t(1) << 22);
    file_pump pump(::open(path.c_str(), O_RDONLY | O_CLOEXEC), file_pump::job::read_hts, path,
                   ring);
    pumped result;
    result.problem = pump.finish();
    const auto [start, size] = ring.unread();
    result.bytes.assign(start, size);
    return result;
}

TEST(HtsConvert, SamTextRoundTripsThroughBam) {
    temp_dir dir;
    const std::string bam = dir.file("x.bam");
    const pumped written = encode(header + records, bam);
    ASSERT_EQ(written.problem, "");
    // BGZF, ending with the empty end-of-file block.
    ASSERT_GE(written.bytes.size(), 28u);
    EXPECT_EQ(written.bytes.substr(0, 4), std::string("\x1f\x8b\x08\x04", 4));
    EXPECT_EQ(written.bytes.substr(written.bytes.size() - 28, 4), std::string("\x1f\x8b\x08\x04", 4));
    const pumped read = decode(bam);
    EXPECT_EQ(read.problem, "");
    EXPECT_EQ(read.bytes, header + records);
    // A last line without its line feed is a line all the same.
    const pumped unterminated = encode(header + records.substr(0, records.size() - 1), bam);
    EXPECT_EQ(unterminated.problem, "");
    EXPECT_EQ(decode(bam).bytes, header + records);
}

TEST(HtsConvert, OutputOfNothingOrOnlyUnmappedLinesIsAValidBam) {
    temp_dir dir;
    const std::string bam = dir.file("x.bam");
    ASSERT_EQ(encode("", bam).problem, "");
    EXPECT_EQ(decode(bam).bytes, "");
    const std::string unmapped = "u\t4\t*\t0\t0\t*\t*\t0\t0\tNNNN\tIIII\n";
    ASSERT_EQ(encode(unmapped, bam).problem, "");
    EXPECT_EQ(decode(bam).bytes, unmapped);
}

TEST(HtsConvert, TextThatIsNoSamRecordIsAProblemNamingItsLine) {
    temp_dir dir;
    EXPECT_EQ(encode(header + "a\t0\tchr1\tfive\t60\t4M\t*\t0\t0\tACGT\tIIII\n", dir.file("x.bam"))
                  .problem,
              "line 5 received is not a SAM record for BAM");
    // A contig the header does not hold (a worker that got no header) cannot be encoded.
    EXPECT_EQ(encode(records, dir.file("y.bam")).problem,
              "line 1 received is not a SAM record for BAM");
}

TEST(HtsConvert, ADamagedBamIsAProblemNeverACleanEnd) {
    temp_dir dir;
    std::string body = header;
    for (int i = 0; i < 20000; ++i)
        body += "r" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(1 + i % 900) +
                "\t60\t4M\t*\t0\t0\tACGT\tIIII\n";
    const std::string good = encode(body, dir.file("good.bam")).bytes;
    ASSERT_GT(good.size(), 70000u); // more than one BGZF block
    // Cut short: without the end-of-file block, even when cut between blocks.
    write_file(dir.file("cut.bam"), good.substr(0, good.size() - 28));
    EXPECT_EQ(decode(dir.file("cut.bam")).problem, "truncated BAM file: no end-of-file marker");
    // A corrupt block in the middle.
    std::string corrupt = good;
    for (std::size_t i = 0; i < 16; ++i)
        corrupt[good.size() / 2 + i] = 'X';
    write_file(dir.file("corrupt.bam"), corrupt);
    const pumped damaged = decode(dir.file("corrupt.bam"));
    EXPECT_EQ(damaged.problem.rfind("truncated or corrupt data after record ", 0), 0u)
        << damaged.problem;
    // Not alignments at all.
    write_file(dir.file("text.bam"), "hello\n");
    EXPECT_EQ(decode(dir.file("text.bam")).problem, "not SAM, BAM or CRAM data");
}

} // namespace
