// End-to-end mistakes on the command line, as a user makes them: each is refused at once with
// one line naming it (status 1, before anything is opened) or, when only the input can show it,
// fails the run at once (status 255), long before the 60 s deadline. And --help and --version.

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

namespace shuffler_test {
namespace {

enum outcome {
    refused,      // status 1: the reason, then the usage text; nothing started
    refused_file, // status 1: the reason alone (a file's problem, not the options')
    failed,       // status 255: the line, then the timing report of a run that stopped at once
};

struct mistake {
    std::vector<std::string> args; // after "-l ADDR -t 60"
    outcome expected;
    std::string fragment;   // found in the first line of standard error
    std::string input = ""; // piped to standard input
};

// BGZF (BAM's compression): a gzip member with an extra field "BC".
const std::string bgzf_start("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);

TEST(Mistakes, AreRefusedOrFailAtOnceWithOneLineSayingWhat) {
    const temp_dir dir;
    const std::string fq = dir.file("reads.fq"), fastq = "@r1\nACGT\n+\nIIII\n";
    write_file(fq, fastq);
    const std::string marker = dir.file("started");
    // An input command that leaves a mark: a refusal must never get as far as running it.
    const std::string command = "touch " + marker + "; cat " + fq + " |";
    write_file(dir.file("raw.sam"), std::string("BAM\1", 4) + "binary");
    write_file(dir.file("bad.fq"), "r1\nACGT\n+\nIIII\n");
    ASSERT_EQ(::mkfifo(dir.file("fifo.bed").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.fai").c_str(), 0600), 0);
    write_file(dir.file("long.fai"), "chr1\t10\n" + std::string(70000, 'x') + "\t5\n");
    const mistake cases[] = {
        // Numbers are whole decimals within their range: a typo is not group 0 (which would
        // make an output side truncating reads.fq), and nothing wraps.
        {{"-g", "x", fq}, refused, "Bad group id 'x'"},
        {{"-g", "4294967296", fq}, refused, "Bad group id '4294967296'"},
        {{"-g", "4294967295", fq}, refused, "Bad group id '4294967295'"},
        {{"-t", "abc"}, refused, "Bad timeout 'abc'"},
        {{"-t", "3s"}, refused, "Bad timeout '3s'"},
        {{"-t", "-5"}, refused, "Bad timeout '-5'"},
        {{"-t", "4294967297"}, refused, "Bad timeout '4294967297'"},
        {{"-G", "2000000000"}, refused, "Bad max_groups '2000000000': expected 1 to 65536"},
        {{"-G", "0"}, refused, "Bad max_groups '0'"},
        {{"-S", "0x10M"}, refused, "Bad pool size 0x10M: expected a positive decimal number"},
        {{"-S", "1000000G"}, refused, "MiB of physical memory"},
        {{"-w", "0"}, refused, "Bad worker count '0': expected 1 to 65535"},
        {{"--workers", "1x"}, refused, "Bad worker count '1x'"},
        {{"--peer-timeout", "86401"}, refused, "Bad peer timeout '86401': expected 1 to 86400"},
        {{"--peer-timeout", "0"}, refused, "Bad peer timeout '0'"},
        // Rendezvous: a port file needs a folder that takes it, a peer's file needs a name.
        {{"--port-file", ""}, refused, "Bad port file '': expected the name of a file to write"},
        {{"--port-file", dir.file("")}, refused_file, ": is a directory, not a port file"},
        {{"--port-file", dir.file("absent/job.port")},
         refused_file,
         "absent/job.port: cannot be written: No such file or directory"},
        // Formats and the number of files.
        {{"-f", "vcf", fq}, refused, "Unknown input format vcf; input formats: message, gzip"},
        {{fq, fq, fq}, refused, "Too many input files: 3 given, at most 2"},
        {{"-f", "message", fq, fq}, refused, "Too many input files: 2 given, message input"},
        {{"-f", "sam", "-O", "s1=chr1", fq, fq}, refused, "Too many input files: 2 given, sam"},
        // -O keys: none ignored, none given twice, none empty.
        {{"-f", "fastq", "-O", "blocksize=1000", command},
         refused,
         "Unknown -O key blocksize; known keys: blksize, tag, check_pairs (FASTQ input), s<k>, "
         "shards, pad, reference (SAM input)"},
        {{"-f", "fastq", "-O", "tag=all", command}, refused,
         "Bad tag 'all': expected name, none or every"},
        {{"-f", "fastq", "-O", "check_pairs=off", command}, refused,
         "Bad check_pairs 'off': expected yes or no"},
        {{"-f", "sam", "-O", "tag=none", command}, refused,
         "-O tag is for fastq input, not sam input"},
        {{"-f", "fastq", "-O", "blksize=0", command},
         refused,
         "Bad blksize 0: not within 1 to 2147483647"},
        {{"-f", "fastq", "-O", "blksize=5x", command},
         refused,
         "Bad blksize '5x': not a whole decimal number"},
        {{"-f", "fastq", "-O", "blksize=abc", command}, refused, "Bad blksize 'abc'"},
        {{"-f", "fastq", "-O", "s1=chr1", command},
         refused,
         "-O s1 is for sam input, not fastq input"},
        {{"-f", "fastq", "-O", "blksize=1", "-O", "blksize=2", command},
         refused,
         "Repeated -O key blksize"},
        {{"-f", "sam", "-O", "s1="}, refused, "Invalid shard s1: empty interval list"},
        {{"-f", "sam", "-O", "s1"}, refused, "Invalid shard s1: empty interval list"},
        {{"-f", "sam", "-O", "s1=chr1", "-O", "s1=chr2"}, refused, "Repeated -O key s1"},
        {{"-f", "sam", "-O", "s1x=chr1"}, refused, "Invalid shard id 1x"},
        {{"-f", "sam", "-O", "s0=chr1"}, refused, "Invalid shard id 0"},
        // Interval strings: no wrap, no trailing text, no reversed or empty ranges.
        {{"-f", "sam", "-O", "s1=chr1:100-50"},
         refused,
         "Invalid shard s1: bad interval 'chr1:100-50': the end lies before the start"},
        {{"-f", "sam", "-O", "s1=chr1:5-4"}, refused, "'chr1:5-4': the end lies before"},
        {{"-f", "sam", "-O", "s1=chr1:abc"}, refused, "'chr1:abc': 'abc' is not a position"},
        {{"-f", "sam", "-O", "s1=chr1:-5"}, refused, "'chr1:-5': '-5' is not a position"},
        {{"-f", "sam", "-O", "s1=chr1:1--5"}, refused, "'chr1:1--5': '-5' is not a position"},
        {{"-f", "sam", "-O", "s1=chr1:5-10xyz"}, refused, "'10xyz' is not a position"},
        {{"-f", "sam", "-O", "s1=chr1:5+0"}, refused, "'chr1:5+0': length 0 is not within"},
        {{"-f", "sam", "-O", "s1=chr1:1-4294967396"},
         refused,
         "'chr1:1-4294967396': position 4294967396 is not within 1 to 4294967295"},
        {{"-f", "sam", "-O", "s1=chr1:1,000-2,000"},
         refused,
         "'chr1:1,000-2': commas separate intervals"},
        // Files that cannot be inputs are named as such.
        {{dir.file("absent.fq")}, refused_file, "absent.fq: No such file or directory"},
        {{dir.file("")}, refused_file, ": is a directory, not an input file"},
        {{fq, dir.file("")}, refused_file, ": is a directory, not an input file"},
        // One standard input cannot be both files of a pair.
        {{"-", "-"}, refused, "Both files of the FASTQ pair are standard input ('-')"},
        {{"-f", "fastq", "-", "-"}, refused, "Both files of the FASTQ pair are standard input"},
        // Interval files and references are regular files with lines of at most 64 KiB: a FIFO
        // would block the start, a device or a file without line feeds fill the memory.
        {{"-f", "sam", "-O", "s1=@" + dir.file("fifo.bed")},
         refused_file,
         dir.file("fifo.bed") + ": is not a regular file"},
        {{"-f", "sam", "-O", "s1=chr1", "-O", "reference=" + dir.file("fifo.fai")},
         refused_file,
         dir.file("fifo.fai") + ": is not a regular file"},
        {{"-f", "sam", "-O", "s1=@/dev/zero"}, refused_file, "/dev/zero: is not a regular file"},
        {{"-f", "sam", "-O", "s1=chr1", "-O", "reference=" + dir.file("long.fai")},
         refused_file,
         dir.file("long.fai") + ": line 2: longer than 65536 bytes"},
        // A single-valued option takes one value: a second one once replaced the first, and
        // "-g 0 -g -1" made a worker an input side.
        {{"-g", "0", "-g", "-1", fq}, refused, "Repeated option -g: given '0', then '-1'"},
        {{"-S", "1M", "--pool_size=2M"}, refused, "Repeated option -S: given '1M', then '2M'"},
        {{"-f", "sam", "-f", "fastq"}, refused, "Repeated option -f"},
        {{"--peer-timeout", "5", "--peer-timeout", "5"}, refused, "Repeated option --peer-timeout"},
        {{"-l", ":1"}, refused, "Repeated option -l"},
        // Options of the input side are refused on a worker, which would ignore them.
        {{"-g", "0", "-w", "2"}, refused, "-w is for the input side; the output side takes no -w"},
        {{"-g", "0", "--spill-dir", dir.file("")},
         refused,
         "--spill-dir is for the input side; the output side takes no --spill-dir"},
        {{"-g", "3", "--spill-max", "1G"}, refused, "--spill-max is for the input side"},
        // The output side: its format, its one file, no -O keys.
        {{"-g", "0", "-f", "cram"}, refused, "Unknown output format cram; output formats: text"},
        {{"-g", "0", "--compression-level", "5"},
         refused,
         "--compression-level is for -f bam output, not text"},
        {{"-f", "sam", "--compression-level", "5"},
         refused,
         "--compression-level is for the output side"},
        {{"--threads", "0"}, refused, "Bad thread count '0': expected 1 to 1024"},
        {{"-g", "0", dir.file("a"), dir.file("b")}, refused, "Too many output files: 2 given"},
        {{"-g", "0", "-O", "blksize=5"}, refused, "the output side takes no -O keys"},
        {{"-g", "0", dir.file("")}, refused_file, ": is a directory, not an output file"},
        {{"-g", "0", "| "}, refused_file, "Output '| ' names no command after '|'"},
        // Only the input shows these: the run fails at its first bytes.
        {{"-f", "sam", "-O", "s1=chr1"},
         failed,
         "stdin: not SAM, BAM or CRAM data", // what looked like BAM, decoded by htslib
         bgzf_start + "rest"},
        {{"-O", "s1=chr1", dir.file("raw.sam")},
         failed,
         dir.file("raw.sam") + ": truncated BAM file: no end-of-file marker"},
        {{"-f", "sam", "-O", "s1=chr1"},
         failed,
         "stdin: input is gzip-compressed",
         std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + "rest"},
        // Which of two names a contig has cannot be told.
        {{"-f", "sam", "-O", "s1=chr1"},
         failed,
         "stdin: line 2: @SQ line with two SN fields",
         "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:10\tSN:chr2\nr\t0\tchr1\t1\t60\n"},
        {{dir.file("bad.fq")}, failed, dir.file("bad.fq") + ": record 1: line 1 does not begin"},
    };
    for (const mistake& c : cases) {
        SCOPED_TRACE(c.fragment);
        std::vector<std::string> argv = {"-l", any_loopback_port};
        if (c.args.front() != "-t") // given once only
            argv.insert(argv.end(), {"-t", "300"});
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        // Bounded far before the deadline: a run that waited for it is killed (137).
        const child_result r =
            run(shuffler(argv), {child_input::pipe, c.input}, std::chrono::seconds(60));
        EXPECT_EQ(r.exit_status, c.expected == failed ? 255 : 1);
        const std::string first = r.err.substr(0, r.err.find('\n'));
        EXPECT_NE(first.find(c.fragment), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("\nUsage: ") != std::string::npos, c.expected == refused) << r.err;
        // Only a run that reached the event loop reports its times.
        EXPECT_EQ(r.err.find("\nchildren user ") != std::string::npos, c.expected == failed)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a refused command line started its input";
    EXPECT_EQ(read_file(fq), fastq) << "a refused command line touched the input file";
    EXPECT_FALSE(std::filesystem::exists(dir.file("a"))) << "a refused output side made its file";
}

// Mistakes of the connecting side, which the table's listening prefix cannot show.
TEST(Mistakes, OfTheConnectingSideAreRefusedAtOnce) {
    const struct {
        std::vector<std::string> args;
        std::string first_line;
    } cases[] = {
        {{"-c", ":1", "--port-file", "/tmp/job.port"},
         "--port-file needs --listen: only a listening side has a port to tell"},
        {{"-g", "0", "-c", "@"},
         "Bad connect address '@': expected host:port or @FILE, a listener's port file"},
        {{"-g", "0", "-c", "41426"},
         "Bad connect address '41426': expected host:port or @FILE, a listener's port file"},
        // Ports are whole decimals: the resolver took them modulo 65536, or as service names.
        {{"-g", "0", "-c", "127.0.0.1:109347"},
         "Bad connect address '127.0.0.1:109347': port '109347' is not a decimal from 1 to "
         "65535"},
        {{"-g", "0", "-c", ":1", "-c", ":0"},
         "Bad connect address ':0': port '0' is not a decimal from 1 to 65535"},
        {{"-c", "[::1]:0x10"},
         "Bad connect address '[::1]:0x10': port '0x10' is not a decimal from 1 to 65535"},
        {{"-c", ":http"},
         "Bad connect address ':http': port 'http' is not a decimal from 1 to 65535"},
        // -w counts the workers that connect to a listener.
        {{"-c", ":1", "-w", "2"},
         "-w needs --listen: a connecting input side serves the peers it names with -c"},
        {{"-g", "0", "-c", ":1", "-w", "2"},
         "-w is for the input side; the output side takes no -w"},
        {{"-g", "0", "-c", ":1", "--spill-dir", "none"},
         "--spill-dir is for the input side; the output side takes no --spill-dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first_line);
        const child_result r = run(shuffler(c.args), {}, std::chrono::seconds(60));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line);
        EXPECT_NE(r.err.find("\nUsage: "), std::string::npos) << r.err;
    }
}

// A listening port out of range once wrapped (99999 listened on 34463) or, empty, let the system
// pick one; the run then waited for its deadline and exited 0.
TEST(Mistakes, ListeningPortsAreRefusedBeforeAnythingListens) {
    const struct {
        std::string address;
        std::string first_line;
    } cases[] = {
        {"127.0.0.1:99999",
         "Bad listen address '127.0.0.1:99999': port '99999' is not a decimal from 0 to 65535"},
        {":65536", "Bad listen address ':65536': port '65536' is not a decimal from 0 to 65535"},
        {"127.0.0.1:", "Bad listen address '127.0.0.1:': port '' is not a decimal from 0 to 65535"},
        {":-1", "Bad listen address ':-1': port '-1' is not a decimal from 0 to 65535"},
        {":0x10", "Bad listen address ':0x10': port '0x10' is not a decimal from 0 to 65535"},
        {"41426", "Bad listen address '41426': expected host:port (\":port\" for localhost)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        for (const char* group : {"-1", "0"}) {
            // Bounded far before the deadline: a run that waited for it is killed (137).
            const child_result r =
                run(shuffler({"-g", group, "-l", c.address, "-t", "300"}), {},
                    std::chrono::seconds(60));
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line);
            EXPECT_NE(r.err.find("\nUsage: "), std::string::npos) << r.err;
        }
    }
}

TEST(HelpAndVersion, GoToStandardOutputAndExitZero) {
    const child_result help = run(shuffler({"--help"}));
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    // Every option with its argument, the roles, examples and the exit statuses.
    for (const char* text :
         {"-c, --connect ADDR", "-l, --listen ADDR", "-t, --timeout SECONDS", "-g, --groupid N",
          "-f, --format NAME", "-O, --option KEY=VALUE", "-S, --pool_size BYTES",
          "-G, --max_groups N", "-w, --workers N", "--peer-timeout SECONDS",
          "--port-file PATH", "--progress", "--summary", "--secret-file PATH", "--insecure", "--plan", "@FILE", "-h, --help",
          "-V, --version", "input side", "output side", "Examples:", "shuffler -l :9000",
          "shuffler -g 0 -c :9000", "Exit status"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    // Help wins over whatever follows it, even a mistake.
    EXPECT_EQ(run(shuffler({"-h", "-g", "x"})).out, help.out);

    for (const char* option : {"--version", "-V"}) {
        const child_result version = run(shuffler({option}));
        EXPECT_EQ(version.exit_status, 0);
        EXPECT_EQ(version.out, std::string("shuffler ") + SHUFFLER_VERSION + "\n");
        EXPECT_EQ(version.err, "");
    }
    // Text that never reached its reader is not a success.
    const child_result full =
        run({"/bin/sh", "-c", "exec " + shuffler_binary() + " --help >/dev/full"});
    EXPECT_EQ(full.exit_status, 255);
    EXPECT_EQ(full.err, "stdout: No space left on device\n");
}

} // namespace
} // namespace shuffler_test
