// End-to-end BAM and CRAM: an input side decodes them with htslib and shards the alignments as
// it shards SAM text; workers write BAM (-f bam) or the SAM text received. samtools, as a user
// would run it, checks the shards.

#include "e2e/worker_output.hpp"

#include <cstdlib>
#include <map>
#include <sstream>

namespace shuffler_test {
namespace {

const int contig_lengths[] = {20000, 15000, 10000};

// A coordinate-sorted SAM of 3 contigs with reads of varied CIGARs, then unmapped reads.
std::string make_sam() {
    std::string sam = "@HD\tVN:1.6\tSO:coordinate\n";
    for (int c = 0; c < 3; ++c)
        sam += "@SQ\tSN:chr" + std::to_string(c + 1) + "\tLN:" +
               std::to_string(contig_lengths[c]) + "\n";
    sam += "@RG\tID:rg1\tSM:s1\n";
    unsigned state = 7;
    const auto next = [&](unsigned n) { return ((state = state * 1103515245u + 12345u) >> 16) % n; };
    int n = 0;
    for (int c = 0; c < 3; ++c)
        for (int pos = 1; pos < contig_lengths[c] - 60; pos += 1 + int(next(12))) {
            const char* cigar = next(4) == 0 ? "10S20M2D20M" : next(3) == 0 ? "25M5I20M" : "50M";
            std::string seq;
            for (int i = 0; i < 50; ++i)
                seq += "ACGT"[next(4)];
            sam += "r" + std::to_string(n++) + "\t" + (next(2) ? "0" : "16") + "\tchr" +
                   std::to_string(c + 1) + "\t" + std::to_string(pos) + "\t60\t" + cigar +
                   "\t*\t0\t0\t" + seq + "\t" + std::string(50, 'I') + "\tRG:Z:rg1\n";
        }
    for (int i = 0; i < 50; ++i)
        sam += "u" + std::to_string(i) + "\t4\t*\t0\t0\t*\t*\t0\t0\tACGTACGT\tIIIIIIII\n";
    return sam;
}

// A FASTA of the contigs, indexed.
void make_reference(const std::string& path) {
    std::string fasta;
    unsigned state = 3;
    for (int c = 0; c < 3; ++c) {
        fasta += ">chr" + std::to_string(c + 1) + "\n";
        for (int i = 0; i < contig_lengths[c]; ++i) {
            fasta += "ACGT"[((state = state * 1103515245u + 12345u) >> 16) % 4];
            if (i % 60 == 59 || i + 1 == contig_lengths[c])
                fasta += '\n';
        }
    }
    write_file(path, fasta);
    ASSERT_EQ(run({"/usr/bin/samtools", "faidx", path}).exit_status, 0);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class BamSharding : public ::testing::Test {
protected:
    void SetUp() override {
        // htslib's reference lookup stays on this machine: no download, no cache written.
        ::setenv("REF_PATH", dir.file("no-ref-path").c_str(), 1);
        ::setenv("REF_CACHE", dir.file("no-ref-cache").c_str(), 1);
        sam = make_sam();
        write_file(dir.file("in.sam"), sam);
        make_reference(dir.file("ref.fa"));
        ASSERT_EQ(run({"/usr/bin/samtools", "view", "--no-PG", "-b", "-o", dir.file("in.bam"),
                       dir.file("in.sam")})
                      .exit_status,
                  0);
        ASSERT_EQ(run({"/usr/bin/samtools", "view", "--no-PG", "-C", "-T", dir.file("ref.fa"), "-o",
                       dir.file("in.cram"), dir.file("in.sam")})
                      .exit_status,
                  0);
    }

    // samtools view (with the reference) of `path`: its alignment lines, or with `header` only
    // its header.
    std::string view(const std::string& path, bool header = false) {
        std::vector<std::string> argv = {"/usr/bin/samtools", "view", "--no-PG", "-T", dir.file("ref.fa")};
        if (header)
            argv.push_back("-H");
        argv.push_back(path);
        const child_result r = run(argv);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r.out;
    }

    temp_dir dir;
    std::string sam;
};

TEST_F(BamSharding, BamShardsHoldEveryRecordOnceInInputOrderAndIndexWithoutSorting) {
    const std::pair<std::vector<std::string>, child_input> sources[] = {
        {{dir.file("in.bam")}, {}},
        {{"-f", "bam"}, {child_input::pipe, read_file(dir.file("in.bam"))}},
        {{dir.file("in.cram"), "-O", "reference=" + dir.file("ref.fa.fai")}, {}},
        {{"-f", "cram", "-O", "reference=" + dir.file("ref.fa.fai")},
         {child_input::file, dir.file("in.cram")}},
    };
    int run_number = 0;
    for (const auto& [source, in] : sources) {
        SCOPED_TRACE(source.front());
        const std::string input = source.front() == "-f" ? dir.file(source[1] == "bam" ? "in.bam"
                                                                                     : "in.cram")
                                                         : source.front();
        std::vector<std::string> args = {"-O", "shards=3", "--threads", "2"};
        args.insert(args.end(), source.begin(), source.end());
        const job_result job =
            run_job(args, {0, 1, 2, 3}, in, {"-f", "bam", "--compression-level", "1"});
        ASSERT_TRUE(job_ended_cleanly(job));
        const std::vector<std::string> expected = lines_of(view(input));
        std::map<std::string, std::size_t> order; // each input line's place
        for (std::size_t i = 0; i < expected.size(); ++i)
            order.emplace(expected[i], i);
        std::size_t received = 0;
        for (std::size_t g = 0; g < job.workers.size(); ++g) {
            const std::string shard =
                dir.file("shard" + std::to_string(run_number) + "-" + std::to_string(g) + ".bam");
            write_file(shard, job.workers[g].out);
            EXPECT_EQ(run({"/usr/bin/samtools", "quickcheck", shard}).exit_status, 0) << "group " << g;
            const child_result index = run({"/usr/bin/samtools", "index", shard});
            EXPECT_EQ(index.exit_status, 0) << "group " << g << ": " << index.err;
            EXPECT_EQ(view(shard, true), view(input, true)) << "group " << g;
            bool first = true;
            std::size_t previous = 0;
            for (const std::string& line : lines_of(view(shard))) {
                const auto at = order.find(line);
                ASSERT_NE(at, order.end()) << "group " << g << " got a record not in the input: "
                                           << line;
                EXPECT_TRUE(first || at->second > previous)
                    << "group " << g << ": out of order: " << line;
                first = false;
                previous = at->second;
                order.erase(at); // a second copy would not be found
                ++received;
            }
        }
        EXPECT_EQ(received, expected.size());
        EXPECT_TRUE(order.empty());
        ++run_number;
    }
}

TEST_F(BamSharding, WorkersWriteTheSamTextReceivedUnlessAskedForBam) {
    const job_result job = run_job({"-O", "s1=chr2", dir.file("in.bam")}, {0, 1});
    ASSERT_TRUE(job_ended_cleanly(job));
    std::string header, chr2, rest;
    for (const std::string& line : lines_of(sam))
        (line[0] == '@' ? header : line.find("\tchr2\t") != std::string::npos ? chr2 : rest) +=
            line + "\n";
    EXPECT_EQ(job.workers[0].out, header + rest);
    EXPECT_EQ(job.workers[1].out, header + chr2);
}

TEST_F(BamSharding, BamOrCramWhereSamTextWasExpectedIsDecodedFromItsFirstByte) {
    // Standard input as a pipe (the bytes the loop read first go to the decoder) and as a file
    // (read again from where it started), and a named file.
    const std::pair<std::vector<std::string>, child_input> sources[] = {
        {{"-f", "sam"}, {child_input::pipe, read_file(dir.file("in.bam"))}},
        {{"-f", "sam", "-"}, {child_input::file, dir.file("in.bam")}},
        {{"-f", "sam", "-O", "reference=" + dir.file("ref.fa.fai")},
         {child_input::pipe, read_file(dir.file("in.cram"))}},
        {{"-f", "sam", dir.file("in.bam")}, {}},
    };
    for (const auto& [source, in] : sources) {
        SCOPED_TRACE(source.back());
        std::vector<std::string> args = {"-O", "s1=chr1"};
        args.insert(args.end(), source.begin(), source.end());
        const job_result job = run_job(args, {0, 1}, in);
        ASSERT_TRUE(job_ended_cleanly(job));
        const std::string input = dir.file(source.size() == 4 ? "in.cram" : "in.bam");
        std::string chr1;
        for (const std::string& line : lines_of(view(input)))
            if (line.find("\tchr1\t") != std::string::npos)
                chr1 += line + "\n";
        EXPECT_EQ(job.workers[1].out, view(input, true) + chr1);
    }
}

TEST_F(BamSharding, ADamagedBamEndsTheRunWithOneLineNamingIt) {
    const std::string bam = read_file(dir.file("in.bam"));
    write_file(dir.file("cut.bam"), bam.substr(0, bam.size() / 2));
    std::string corrupt = bam;
    for (std::size_t i = 0; i < 16; ++i)
        corrupt[bam.size() / 2 + i] ^= 0x55;
    write_file(dir.file("corrupt.bam"), corrupt);
    write_file(dir.file("text.bam"), "not an alignment\n");
    const std::pair<std::string, std::string> cases[] = {
        {"cut.bam", "truncated BAM file: no end-of-file marker"},
        {"corrupt.bam", "truncated or corrupt data after record "},
        {"text.bam", "not SAM, BAM or CRAM data"},
    };
    for (const auto& [name, problem] : cases) {
        const child_result r = run(
            shuffler({"-l", any_loopback_port, "-t", "60", "-O", "shards=2", dir.file(name)}),
            {}, std::chrono::seconds(90));
        EXPECT_EQ(r.exit_status, 255) << name;
        const std::string err = without_timing(r.err);
        EXPECT_EQ(err.rfind(dir.file(name) + ": " + problem, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

// The shard plan comes from the header whichever form holds it: a SAM, BAM or CRAM file, or any
// of them on standard input.
TEST_F(BamSharding, ThePlanIsTheSameFromSamBamOrCram) {
    const auto plan = [&](std::vector<std::string> source, child_input in = {}) {
        std::vector<std::string> args = {"--plan", "-O", "shards=3"};
        args.insert(args.end(), source.begin(), source.end());
        const child_result r = run(shuffler(args), in);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r.out;
    };
    const std::string from_sam = plan({dir.file("in.sam")});
    EXPECT_EQ(std::count(from_sam.begin(), from_sam.end(), '\n'), 5) << from_sam;
    EXPECT_EQ(plan({dir.file("in.bam")}), from_sam);
    EXPECT_EQ(plan({dir.file("in.cram")}), from_sam);
    EXPECT_EQ(plan({"-"}, {child_input::pipe, read_file(dir.file("in.bam"))}), from_sam);
    EXPECT_EQ(plan({"-"}, {child_input::pipe, sam}), from_sam);
}

} // namespace
} // namespace shuffler_test
