// End-to-end shards from interval files, equal shards cut from the header, padding copies at
// shard boundaries, and the checks of shards, header and reference against each other.

#include "e2e/worker_output.hpp"

#include <sstream>

namespace shuffler_test {
namespace {

const std::string header = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:10000\n"
                           "@SQ\tSN:chr2\tLN:5000\n";

std::string line(const std::string& name, const std::string& contig, long position,
                 const std::string& cigar = "4M") {
    return name + "\t0\t" + contig + "\t" + std::to_string(position) + "\t60\t" + cigar +
           "\t*\t0\t0\tACGT\tIIII\n";
}

child_input piped(const std::string& data) { return {child_input::pipe, data}; }

// Runs the input side on `sam` with `options`, with -w for one worker per group 0..max_group;
// returns the job.
job_result shard_job(std::vector<std::string> options, const std::string& sam, int max_group) {
    std::vector<int> groups;
    for (int g = 0; g <= max_group; ++g)
        groups.push_back(g);
    options.insert(options.begin(), {"-f", "sam", "-w", std::to_string(max_group + 1)});
    return run_job(options, groups, piped(sam));
}

TEST(ShardFiles, IntervalFilesRouteLikeTheSameIntervalsInline) {
    temp_dir dir;
    std::string sam = header;
    for (long p : {1L, 99L, 100L, 101L, 200L, 201L, 999L, 1000L, 1001L, 4999L, 5000L, 5001L})
        for (const char* contig : {"chr1", "chr2"})
            sam += line(std::string(contig) + "_" + std::to_string(p), contig, p);
    // Shard 1 is chr1:1-1000 and chr2:101-200, shard 2 chr1:1001-5000: BED counts from 0.
    write_file(dir.file("one.bed"), "track name=one\nchr1\t0\t1000\tx\nchr2\t100\t200\n");
    write_file(dir.file("two.bed"), "chr1\t1000\t5000\n");
    write_file(dir.file("one.interval_list"),
               header + "chr1\t1\t1000\t+\ta\nchr2\t101\t200\t+\tb\n");
    write_file(dir.file("two.interval_list"), header + "chr1\t1001\t5000\t-\tc\n");
    write_file(dir.file("one.list"), "chr1:1-1000\nchr2:101+100\n");
    write_file(dir.file("two.txt"), "chr1:1001-5000\n");
    write_file(dir.file("part.bed"), "chr2\t100\t200\n");
    const std::vector<std::string> plans[] = {
        {"-O", "s1=chr1:1-1000,chr2:101-200", "-O", "s2=chr1:1001-5000"},
        {"-O", "s1=@" + dir.file("one.bed"), "-O", "s2=@" + dir.file("two.bed")},
        {"-O", "s1=@" + dir.file("one.interval_list"), "-O",
         "s2=@" + dir.file("two.interval_list")},
        {"-O", "s1=@" + dir.file("one.list"), "-O", "s2=@" + dir.file("two.txt")},
        {"-O", "s1=chr1:1-1000,@" + dir.file("part.bed"), "-O", "s2=@" + dir.file("two.bed")},
    };
    const job_result inline_job = shard_job(plans[0], sam, 2);
    ASSERT_TRUE(job_ended_cleanly(inline_job));
    EXPECT_EQ(inline_job.workers[1].out,
              header + line("chr1_1", "chr1", 1) + line("chr1_99", "chr1", 99) +
                  line("chr1_100", "chr1", 100) + line("chr1_101", "chr1", 101) +
                  line("chr2_101", "chr2", 101) + line("chr1_200", "chr1", 200) +
                  line("chr2_200", "chr2", 200) + line("chr1_201", "chr1", 201) +
                  line("chr1_999", "chr1", 999) + line("chr1_1000", "chr1", 1000));
    for (std::size_t i = 1; i < std::size(plans); ++i) {
        SCOPED_TRACE(plans[i][1]);
        const job_result job = shard_job(plans[i], sam, 2);
        EXPECT_TRUE(job_ended_cleanly(job));
        for (int g = 0; g <= 2; ++g)
            EXPECT_EQ(job.workers[g].out, inline_job.workers[g].out) << "group " << g;
    }
}

TEST(ShardFiles, EqualShardsTakeAQuarterOfTheGenomeEachAndUnmappedLinesGoToGroupZero) {
    // 10000 + 5000 + 5000 bases: quarters of 5000, chr1 split in two.
    const std::string three = header + "@SQ\tSN:chr3\tLN:5000\n";
    std::string sam = three;
    std::vector<std::string> expected(5, three);
    const std::pair<const char*, long> offsets[] = {{"chr1", 0}, {"chr2", 10000}, {"chr3", 15000}};
    for (const auto& [contig, offset] : offsets) {
        const long length = std::string(contig) == "chr1" ? 10000 : 5000;
        for (long p : {1L, 2L, 4999L, 5000L, 5001L, 9999L, 10000L}) {
            if (p > length)
                continue;
            const std::string l = line(std::string(contig) + "_" + std::to_string(p), contig, p);
            sam += l;
            expected[std::size_t((offset + p - 1) / 5000 + 1)] += l;
        }
    }
    const std::string unmapped = "u\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n";
    sam += unmapped + line("elsewhere", "chrM", 5);
    expected[0] += unmapped + line("elsewhere", "chrM", 5);
    const job_result job = shard_job({"-O", "shards=4"}, sam, 4);
    EXPECT_TRUE(job_ended_cleanly(job));
    for (int g = 0; g <= 4; ++g)
        EXPECT_EQ(job.workers[g].out, expected[g]) << "group " << g;
}

TEST(ShardFiles, PaddingCopiesExactlyTheLinesWhoseSpanCrossesABoundary) {
    // Two equal shards of chr1 and chr2 (15000 bases): shard 1 is chr1:1-7500, shard 2 the
    // rest. With pad 20, shard 2 takes copies of what reaches 7481, shard 1 of what starts
    // before 7521.
    struct placed {
        std::string line;
        std::vector<int> groups; // home first, then the copies with pad 20
    };
    const placed lines[] = {
        {line("inside", "chr1", 7000, "2S50M2S"), {1}},
        {line("short", "chr1", 7400, "3S40M5D20M10S"), {1}},        // 7400-7464
        {line("just_short", "chr1", 7400, "60M21D"), {1}},          // 7400-7480: D counts
        {line("reaching", "chr1", 7400, "60M2D20M"), {1, 2}},       // 7400-7481
        {line("soft_clips_do_not", "chr1", 7420, "40M100S"), {1}},  // 7420-7459
        {line("introns_do", "chr1", 7420, "10M51N1M"), {1, 2}},     // 7420-7481
        {line("across", "chr1", 7490, "5M2I5M2D10M"), {1, 2}},      // 7490-7511
        {line("home_right", "chr1", 7501, "30M"), {2, 1}},          // pad back to 7481
        {line("right_of_pad", "chr1", 7521, "30M"), {2}},
        {line("no_cigar", "chr1", 7482, "*"), {1, 2}},              // one base
        {line("other_contig", "chr2", 1, "100M"), {2}},
        {"u\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n", {0}},
    };
    std::string sam = header;
    for (const placed& p : lines)
        sam += p.line;
    for (const char* pad : {"0", "20"}) {
        SCOPED_TRACE(std::string("pad ") + pad);
        std::vector<std::string> expected(3, header);
        for (const placed& p : lines)
            for (std::size_t i = 0; i < (std::string(pad) == "0" ? 1 : p.groups.size()); ++i)
                expected[std::size_t(p.groups[i])] += p.line;
        const job_result job =
            shard_job({"-O", "shards=2", "-O", std::string("pad=") + pad}, sam, 2);
        EXPECT_TRUE(job_ended_cleanly(job));
        for (int g = 0; g <= 2; ++g)
            EXPECT_EQ(job.workers[g].out, expected[g]) << "group " << g;
    }
}

TEST(ShardFiles, ContigNamesWithColonsAreTakenWholeOrInBraces) {
    const std::string hla = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:HLA-A*01:01:01:01\tLN:3503\n"
                            "@SQ\tSN:HLA-B*07:02:01\tLN:3000\n";
    const std::string sam = hla + line("a1", "HLA-A*01:01:01:01", 1) +
                            line("a2", "HLA-A*01:01:01:01", 500) + line("b1", "HLA-B*07:02:01", 1) +
                            line("b2", "HLA-B*07:02:01", 2);
    // The first names a header contig whole; the braces take the second at position 1 only.
    const job_result job =
        shard_job({"-O", "s1=HLA-A*01:01:01:01", "-O", "s2={HLA-B*07:02:01}:1"}, sam, 2);
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_EQ(job.workers[0].out, hla + line("b2", "HLA-B*07:02:01", 2));
    EXPECT_EQ(job.workers[1].out,
              hla + line("a1", "HLA-A*01:01:01:01", 1) + line("a2", "HLA-A*01:01:01:01", 500));
    EXPECT_EQ(job.workers[2].out, hla + line("b1", "HLA-B*07:02:01", 1));
}

// Mistakes found in the options or the files they name are refused before anything starts
// (status 1); those only the SAM header shows fail the run there (status 255), before any
// alignment is routed. Each says what differs in one line.
TEST(ShardFiles, MismatchesAreOneLineNamingWhatDiffers) {
    enum outcome {
        refused,      // status 1, the reason and the usage text: a mistake in the options
        refused_file, // status 1, the reason alone: a file named in them
        failed,       // status 255 at the end of the header
    };
    temp_dir dir;
    const std::string d = dir.file("");
    write_file(d + "ref.fai", "chr1\t10000\t6\t60\t61\nchr2\t6000\t100\t60\t61\n");
    write_file(d + "ok.fai", "chr1\t10000\t6\t60\t61\nchr2\t5000\t100\t60\t61\n");
    write_file(d + "past.bed", "chr1\t0\t10\nchr1\t9000\t10001\n");
    write_file(d + "bad.bed", "chr1\t0\tten\n");
    write_file(d + "short.interval_list",
               "@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chr2\tLN:4000\nchr1\t1\t10\t+\tx\n");
    const std::tuple<std::vector<std::string>, outcome, std::string> cases[] = {
        {{"-O", "s1=chr1", "-O", "s2=chrX:1-5"}, failed,
         "-O s2: contig chrX is not in the header of stdin"},
        {{"-O", "s1=@" + d + "past.bed"}, failed,
         d + "past.bed: line 2: interval chr1:9001-10001 runs past the end of chr1, 10000 bases "
             "long in the header of stdin (line 2)"},
        {{"-O", "s3=@" + d + "short.interval_list"}, failed,
         d + "short.interval_list: line 2: contig chr2 has length 4000, but 5000 in the header "
             "of stdin (line 3)"},
        {{"-O", "s1=chr1", "-O", "reference=" + d + "ref.fai"}, failed,
         "stdin: line 3: contig chr2 has length 5000, but 6000 in " + d + "ref.fai (line 2)"},
        {{"-O", "s1=chrX", "-O", "reference=" + d + "ok.fai"}, refused_file,
         "-O s1: contig chrX is not in " + d + "ok.fai"},
        {{"-O", "s1=@" + d + "missing.bed"}, refused_file,
         d + "missing.bed: No such file or directory"},
        {{"-O", "s1=@" + d + "bad.bed"}, refused_file,
         d + "bad.bed: line 1: end 'ten' is not a decimal from 1 to 4294967295"},
        {{"-O", "shards=2", "-O", "s1=chr1"}, refused,
         "-O shards=2 cuts the genome into shards itself; it does not combine with -O s1"},
        {{"-O", "shards=0"}, refused,
         "Invalid -O shards=0: expected a number of shards from 1 to 1023 with --max_groups 1024"},
        {{"-O", "s1=chr1", "-O", "pad=-1"}, refused,
         "Invalid -O pad=-1: expected a number of bases from 0 to 2147483647"},
        {{"-O", "s1=chr1", "-O", "reference=" + d + "ref.fa"}, refused,
         "Invalid -O reference=" + d + "ref.fa: expected a .fai index or a .dict sequence "
         "dictionary"},
        {{"-O", "pad=10"}, refused,
         "Missing shard options: SAM input is routed by -O s<k>=INTERVALS or -O shards=N"},
    };
    std::vector<std::unique_ptr<child_process>> runs;
    for (const auto& [options, expected, error] : cases) {
        std::vector<std::string> args = {"-l", any_loopback_port, "-t", "60", "-f", "sam"};
        args.insert(args.end(), options.begin(), options.end());
        runs.push_back(std::make_unique<child_process>(
            shuffler(args), piped(header + line("a", "chr1", 5) + line("b", "chr2", 5))));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& [options, expected, error] = cases[i];
        SCOPED_TRACE(options.back());
        const child_result r = runs[i]->wait(std::chrono::seconds(60));
        EXPECT_EQ(r.exit_status, expected == failed ? 255 : 1);
        const std::string err = without_timing(r.err);
        EXPECT_EQ(err.substr(0, err.find('\n')), error);
        if (expected == refused)
            EXPECT_NE(err.find("\nUsage: "), std::string::npos) << err;
        else
            EXPECT_EQ(err, error + "\n");
    }
}

// --plan prints, for the same keys and header, the regions whose alignments each group
// receives: every contig tiled once, and every line a job routes to group g starting inside one
// of g's regions.
TEST(ShardPlan, PrintedRegionsAreWhereEachGroupsAlignmentsStart) {
    temp_dir dir;
    std::string sam = header;
    for (long p = 1; p <= 10000; p += 37)
        sam += line("chr1_" + std::to_string(p), "chr1", p);
    for (long p = 1; p <= 5000; p += 41)
        sam += line("chr2_" + std::to_string(p), "chr2", p);
    write_file(dir.file("in.sam"), sam);
    write_file(dir.file("ref.fai"), "chr1\t10000\t6\t60\t61\nchr2\t5000\t10182\t60\t61\n");
    // Overlapping shards: where both hold a base, the first written (s1) has it.
    const std::vector<std::vector<std::string>> keys = {
        {"-O", "s1=chr1:1-3000,chr2:4001-", "-O", "s2=chr1:2001-6000"},
        {"-O", "shards=3"},
    };
    for (const auto& k : keys) {
        SCOPED_TRACE(k.back());
        std::vector<std::string> args = {"--plan"};
        args.insert(args.end(), k.begin(), k.end());
        const child_result from_file = run(shuffler([&] {
            auto a = args;
            a.push_back(dir.file("in.sam"));
            return a;
        }()));
        ASSERT_EQ(from_file.exit_status, 0) << from_file.err;
        // The header on standard input, or the reference alone, give the same plan; padding
        // copies lines but moves no region.
        auto padded = args;
        padded.insert(padded.end(), {"-O", "pad=500", "-"});
        EXPECT_EQ(run(shuffler(padded), {child_input::file, dir.file("in.sam")}).out,
                  from_file.out);
        auto referenced = args;
        referenced.insert(referenced.end(), {"-O", "reference=" + dir.file("ref.fai")});
        EXPECT_EQ(run(shuffler(referenced)).out, from_file.out);

        struct region {
            std::string contig;
            long start, end, group;
        };
        std::vector<region> regions;
        std::istringstream bed(from_file.out);
        for (region r; bed >> r.contig >> r.start >> r.end >> r.group;)
            regions.push_back(r);
        long chr1 = 0, chr2 = 0; // bases tiled, in order
        for (const region& r : regions) {
            long& tiled = r.contig == "chr1" ? chr1 : chr2;
            EXPECT_EQ(r.start, tiled) << r.contig;
            tiled = r.end;
        }
        EXPECT_EQ(chr1, 10000);
        EXPECT_EQ(chr2, 5000);

        const int groups = k.back() == "shards=3" ? 3 : 2;
        const job_result job = shard_job(k, sam, groups);
        ASSERT_TRUE(job_ended_cleanly(job));
        std::size_t lines = 0;
        for (int g = 0; g <= groups; ++g) {
            std::istringstream out(job.workers[std::size_t(g)].out);
            for (std::string l; std::getline(out, l);) {
                if (l[0] == '@')
                    continue;
                ++lines;
                std::istringstream fields(l);
                std::string name, flag, contig;
                long position = 0;
                fields >> name >> flag >> contig >> position;
                const auto holder = std::find_if(regions.begin(), regions.end(), [&](const region& r) {
                    return r.contig == contig && r.start < position && position <= r.end;
                });
                ASSERT_NE(holder, regions.end()) << l;
                EXPECT_EQ(holder->group, g) << l;
            }
        }
        EXPECT_EQ(lines, std::size_t(std::count(sam.begin(), sam.end(), '\n') - 3));
    }
}

TEST(ShardPlan, RefusesWhatCannotBePlannedWithOneLine) {
    temp_dir dir;
    write_file(dir.file("bare.sam"), "@HD\tVN:1.6\nr\t4\t*\t0\t0\t*\t*\t0\t0\tA\tI\n");
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"--plan", "-O", "shards=2", dir.file("bare.sam")},
         "The plan needs the contigs' lengths: give a SAM file whose header has @SQ lines, or "
         "-O reference=FILE"},
        {{"--plan", "-O", "shards=2", dir.file("missing.sam")},
         dir.file("missing.sam") + ": No such file or directory"},
        {{"--plan", "-O", "s1=chr3", "-"}, "-O s1: contig chr3 is not in the header of stdin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const child_result r = run(shuffler(c.args), {child_input::pipe, header});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.line + "\n");
        EXPECT_EQ(r.out, "");
    }
    const child_result job_option = run(shuffler({"--plan", "-w", "2", "-l", ":0", "-O", "shards=2"}));
    EXPECT_EQ(job_option.exit_status, 1);
    EXPECT_EQ(job_option.err.substr(0, job_option.err.find('\n')),
              "--plan runs no job: it takes no -l, -c or -g");
}

} // namespace
} // namespace shuffler_test
