// End-to-end FASTQ dicing: an input side cuts one file or a pair into tagged blocks of group 0,
// and the workers that ask for group 0 share them. Every dicing run is checked by rebuilding
// the input from the union of the workers' outputs.

#include "e2e/worker_output.hpp"

namespace shuffler_test {
namespace {

struct dicing_case {
    const char* name;
    int files, records;
    // File names ending in ".fq", ".fastq" or ".txt"; "gzip" (one member), "members" (the first
    // file many gzip members of uneven sizes, the second BGZF blocks), "command", "stdin" (a
    // pipe) or "stdin file" (a regular file). All but "command" run with an empty PATH: files
    // are read without any program's help.
    const char* how;
    const char* eol;
    long blksize; // 0: the default
    int workers;
};

void PrintTo(const dicing_case& c, std::ostream* os) { *os << c.name; }

// Replaces `path` with `path`.gz made of many gzip members: BGZF blocks (each with its "BC"
// extra field, then bgzip's empty end block) when `bgzf`, else plain members of uneven sizes.
::testing::AssertionResult compress_in_members(const std::string& path, bool bgzf) {
    const child_result r = run(
        {"/usr/bin/python3", "-c",
         "import gzip, os, struct, sys, zlib\n"
         "path, bgzf = sys.argv[1], sys.argv[2] == '1'\n"
         "data = open(path, 'rb').read()\n"
         "def block(b):\n"
         "    c = zlib.compressobj(6, zlib.DEFLATED, -15)\n"
         "    raw = c.compress(b) + c.flush()\n"
         "    return (b'\\x1f\\x8b\\x08\\x04' + bytes(6) +\n"
         "            struct.pack('<HBBHH', 6, 66, 67, 2, len(raw) + 25) + raw +\n"
         "            struct.pack('<II', zlib.crc32(b), len(b)))\n"
         "size = 4000 if bgzf else 997\n"
         "pieces = [data[i:i + size] for i in range(0, len(data), size)]\n"
         "out = b''.join(block(p) for p in pieces) + block(b'') if bgzf else \\\n"
         "      b''.join(gzip.compress(p, mtime=0) for p in pieces)\n"
         "open(path + '.gz', 'wb').write(out)\n"
         "os.remove(path)\n",
         path, bgzf ? "1" : "0"});
    if (r.exit_status == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "python3: " << r.err;
}

class FastqDicing : public ::testing::TestWithParam<dicing_case> {};

TEST_P(FastqDicing, WorkersTogetherReceiveTheInputInTaggedBlocks) {
    const dicing_case& c = GetParam();
    const std::string how = c.how;
    temp_dir dir;
    std::vector<std::string> inputs, args;
    if (c.blksize)
        args = {"-O", "blksize=" + std::to_string(c.blksize)};
    if (how == "command" || how.rfind("stdin", 0) == 0)
        args.insert(args.end(), {"-f", "fastq"});
    child_input in;
    for (int f = 0; f < c.files; ++f) {
        inputs.push_back(make_fastq("r", c.records, unsigned(f + 1), c.eol));
        const std::string path = dir.file("in" + std::to_string(f) + (how[0] == '.' ? how : ".fq"));
        write_file(path, inputs.back());
        ASSERT_TRUE(how != "gzip" || run({"/bin/sh", "-c", "gzip -n " + path}).exit_status == 0);
        ASSERT_TRUE(how != "members" || compress_in_members(path, f == 1));
        if (how == "stdin")
            in = {child_input::pipe, inputs.back()};
        else if (how == "stdin file")
            in = {child_input::file, path};
        else
            args.push_back(how == "gzip" || how == "members" ? path + ".gz"
                           : how == "command" ? "cat " + path + " |"
                                              : path);
    }
    const job_result job = run_job(args, std::vector<int>(std::size_t(c.workers), 0),
                                   std::move(in), {}, how != "command");
    EXPECT_TRUE(job_ended_cleanly(job));
    std::size_t blocks = 0;
    EXPECT_TRUE(rebuilds_input(job, inputs, c.blksize, &blocks));
    if (c.blksize == 0) {
        EXPECT_EQ(blocks, c.records > 0 ? 1u : 0u);
    } else {
        EXPECT_GT(blocks, std::size_t(c.records / 10)) << "the block size was not applied";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FastqDicing,
    ::testing::Values(dicing_case{"OneFileDefaultBlockSize", 1, 60, ".fq", "\n", 0, 1},
                      dicing_case{"SmallBlocksThreeWorkers", 1, 500, ".fastq", "\n", 60, 3},
                      // Names that do not look like FASTQ: two files always mean a pair.
                      dicing_case{"Pair", 2, 300, ".txt", "\n", 45, 2},
                      dicing_case{"CompressedPair", 2, 200, "gzip", "\n", 100, 2},
                      dicing_case{"ManyGzipMembers", 2, 3000, "members", "\n", 200, 2},
                      dicing_case{"CommandEndingInABar", 1, 150, "command", "\n", 30, 2},
                      // CRs stay in the records but do not count as bases.
                      dicing_case{"Crlf", 1, 200, ".fq", "\r\n", 33, 2},
                      dicing_case{"StandardInput", 1, 120, "stdin", "\n", 50, 2},
                      dicing_case{"StandardInputFromAFile", 1, 3000, "stdin file", "\n", 60, 2},
                      dicing_case{"ZeroRecords", 1, 0, ".fq", "\n", 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// A pool of one or two blocks, where one block reaches the cap a message may take, still makes
// progress: every block holds at least one pass of records.
TEST(FastqDicing, ThePoolsOfOneAndTwoBlocksMakeProgress) {
    for (const char* pool : {"8M", "4M"}) {
        SCOPED_TRACE(pool);
        const temp_dir dir;
        const std::vector<std::string> inputs = {make_fastq("p", 3000, 1), make_fastq("p", 3000, 2)};
        write_file(dir.file("r_1.fq"), inputs[0]);
        write_file(dir.file("r_2.fq"), inputs[1]);
        const job_result job =
            run_job({"-w", "1", "-S", pool, dir.file("r_1.fq"), dir.file("r_2.fq")}, {0});
        EXPECT_TRUE(job_ended_cleanly(job));
        EXPECT_TRUE(rebuilds_input(job, inputs));
    }
}

// A worker's output "-" is its standard output, as an input "-" is standard input.
TEST(FastqDicing, AWorkersOutputDashIsItsStandardOutput) {
    const temp_dir dir;
    const std::vector<std::string> inputs = {make_fastq("d", 200, 1), make_fastq("d", 200, 2)};
    write_file(dir.file("r_1.fq"), inputs[0]);
    write_file(dir.file("r_2.fq"), inputs[1]);
    const job_result job = run_job({dir.file("r_1.fq"), dir.file("r_2.fq")}, {0}, {}, {"-"});
    const bool file_made = ::unlink("-") == 0; // where a file named "-" would have gone
    EXPECT_FALSE(file_made);
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

TEST(FastqErrors, StopTheRunWithOneLineNamingTheFile) {
    temp_dir dir;
    const auto file = [&](const std::string& name, const std::string& text) {
        write_file(dir.file(name), text);
        return dir.file(name);
    };
    const std::string two = make_fastq("g", 2, 1);
    // Mates share their names, so the pair check passes and the error is the one tested.
    const std::string longer = file("three.fq", make_fastq("g", 3, 2)),
                      shorter = file("two.fq", two);
    const std::string counts = shorter + ": ended after 2 records, but " + longer +
                               " has more (paired files hold the same number of records)";
    const std::string four = make_fastq("g", 4, 3);
    const std::string bad_plus = file("plus.fq", two + "@g2\nACGT\nIIII\n+\n");
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{file("cut.fq", two + "@g2\nACGT\n+")},
         dir.file("cut.fq") + ": record 3: incomplete record at end of input"},
        {{file("at.fq", two + "g2\nACGT\n+\nIIII\n")},
         dir.file("at.fq") + ": record 3: line 1 does not begin with '@'"},
        {{file("blank.fq", two + "\n@g2\nACGT\n+\nIIII\n")},
         dir.file("blank.fq") + ": record 3: blank line where a record should start"},
        // In a pair, the second file's record is named by that file.
        {{longer, bad_plus}, bad_plus + ": record 3: line 3 does not begin with '+'"},
        {{longer, shorter}, counts},
        // R2 shifted by one record: every pair from the first on is mispaired.
        {{longer, file("shifted.fq", four.substr(four.find("@g1")))},
         longer + " and " + dir.file("shifted.fq") +
             ": record 1 is named g0 in the first file and g1 in the second (mates share a "
             "name; -O check_pairs=no for data whose mates are named differently)"},
        {{shorter, longer}, counts},
        {{file("long.fq", two + "@long\n" + std::string(std::size_t(1) << 22, 'A') + "\n+\n\n")},
         dir.file("long.fq") + ": record 3 is longer than the 4 MiB input buffer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> argv = {"-l", any_loopback_port, "-t", "60"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const child_result r = run(shuffler(argv), {}, std::chrono::seconds(90));
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(without_timing(r.err), c.line + "\n");
    }
}

// The interleaved pair: each R1 record followed by its mate, as the workers write them.
std::vector<std::string> interleaved_records(const std::vector<std::string>& files) {
    std::vector<std::vector<std::string>> records(files.size());
    for (std::size_t f = 0; f < files.size(); ++f)
        for (std::size_t at = 0; at < files[f].size();) {
            std::size_t end = at;
            for (int line = 0; line < 4; ++line)
                end = files[f].find('\n', end) + 1;
            records[f].push_back(files[f].substr(at, end - at));
            at = end;
        }
    std::vector<std::string> out;
    for (std::size_t i = 0; i < records[0].size(); ++i)
        for (const auto& file : records)
            out.push_back(file[i]);
    return out;
}

// -O tag: "none" leaves the records as they were read; "name" and "every" let
// scripts/restore-order.sh rebuild the input order, and with "every" it survives a filter that
// drops records from a worker's output.
TEST(FastqTags, NoneLeavesRecordsUntouchedAndTheRestRebuildTheOrder) {
    temp_dir dir;
    const std::vector<std::string> pair = {make_fastq("p", 400, 1), make_fastq("p", 400, 2)};
    write_file(dir.file("p_1.fq"), pair[0]);
    write_file(dir.file("p_2.fq"), pair[1]);
    const std::vector<std::string> expected = interleaved_records(pair);
    for (const char* tags : {"none", "name", "every"}) {
        SCOPED_TRACE(tags);
        const job_result job =
            run_job({"-O", std::string("tag=") + tags, "-O", "blksize=500", dir.file("p_1.fq"),
                     dir.file("p_2.fq")},
                    {0, 0});
        ASSERT_TRUE(job_ended_cleanly(job));
        if (std::string(tags) == "none") {
            std::vector<std::string> got;
            for (const child_result& w : job.workers) {
                EXPECT_EQ(w.out.find(" #"), std::string::npos);
                for (const std::string& r : interleaved_records({w.out}))
                    got.push_back(r);
            }
            std::vector<std::string> sorted = expected;
            std::sort(got.begin(), got.end());
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(got, sorted);
            continue;
        }
        // With "every", each worker's output loses every third pair, as a filter would.
        const bool filtered = std::string(tags) == "every";
        std::vector<std::string> outputs, dropped;
        for (std::size_t w = 0; w < job.workers.size(); ++w) {
            std::string text;
            const std::vector<std::string> records = interleaved_records({job.workers[w].out});
            for (std::size_t i = 0; i < records.size(); ++i) {
                if (!filtered || (i / 2) % 3 != 0) {
                    text += records[i];
                    continue;
                }
                std::string r = records[i];
                EXPECT_GE(take_tag(r), 0) << "an untagged record with tag=every";
                dropped.push_back(r);
            }
            outputs.push_back(dir.file(std::string(tags) + std::to_string(w) + ".fq"));
            write_file(outputs.back(), text);
        }
        std::vector<std::string> argv = {std::string(SHUFFLER_SOURCE_DIR) +
                                         "/scripts/restore-order.sh"};
        argv.insert(argv.end(), outputs.begin(), outputs.end());
        const child_result restored = run(argv);
        ASSERT_EQ(restored.exit_status, 0) << restored.err;
        // What the filter kept, in input order.
        std::string want;
        for (const std::string& r : expected)
            if (std::find(dropped.begin(), dropped.end(), r) == dropped.end())
                want += r;
        EXPECT_EQ(filtered, !dropped.empty());
        EXPECT_EQ(restored.out, want);
    }
}

} // namespace
} // namespace shuffler_test
