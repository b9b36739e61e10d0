// The interval file loaders and sequence dictionaries: each format, its coordinates, and each
// kind of bad line refused with its file and line number.

#include "formats/intervals.hpp"

#include "io/record_reader.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace shuffler;
using shuffler_test::temp_dir;
using shuffler_test::write_file;

namespace {

constexpr std::uint32_t all = whole_contig_end;

// contig, start, end, line, shard
using entry = std::tuple<std::string, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;

std::vector<entry> entries_of(const interval_set& set) {
    std::vector<entry> entries;
    for (const shard_interval& e : set.intervals)
        entries.push_back({e.contig, e.start, e.end, e.line, e.shard});
    return entries;
}

// What loading `text` as the file `name` throws, or "" when it loads.
std::string load_error(const std::string& name, const std::string& text) {
    const temp_dir dir;
    write_file(dir.file(name), text);
    interval_set set;
    try {
        load_interval_file(dir.file(name), 1, set);
    } catch (const record_error& e) {
        const std::string what = e.what();
        return what.substr(what.find(name)); // without the folder
    }
    return "";
}

const std::string list_header = "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:500\n";

TEST(IntervalFiles, EachFormatReadsIntoZeroBasedHalfOpenIntervals) {
    const temp_dir dir;
    // The same three intervals, chr1:1-100, chr1:501-1000 and chr2:10-10, in each format.
    write_file(dir.file("a.bed"), "track name=t\nbrowser position chr1\n# comment\n\n"
                                  "chr1\t0\t100\tfirst\t0\t+\n"
                                  "chr1 500 1000\n" // spaces separate columns too
                                  "chr2\t9\t10\r\n");
    write_file(dir.file("a.interval_list"), list_header + "@CO\tany header line\n"
                                            "chr1\t1\t100\t+\tfirst\n"
                                            "chr1\t501\t1000\t-\tsecond\n\n"
                                            "chr2\t10\t10\t+\tthird\n");
    write_file(dir.file("a.list"), "# one interval per line\nchr1:1-100\n\nchr1:501-\nchr2:10\n");
    interval_set set;
    for (const char* name : {"a.bed", "a.interval_list", "a.list"})
        load_interval_file(dir.file(name), 4, set);
    EXPECT_EQ(entries_of(set), (std::vector<entry>{{"chr1", 0, 100, 5, 4},
                                                   {"chr1", 500, 1000, 6, 4},
                                                   {"chr2", 9, 10, 7, 4},
                                                   {"chr1", 0, 100, 5, 4},
                                                   {"chr1", 500, 1000, 6, 4},
                                                   {"chr2", 9, 10, 8, 4},
                                                   {"chr1", 0, 100, 2, 4},
                                                   {"chr1", 500, all, 4, 4},
                                                   {"chr2", 9, 10, 5, 4}}));
    EXPECT_EQ(set.where(set.intervals[1]), dir.file("a.bed") + ": line 6");
    // The interval list's own dictionary is kept, to be checked against the SAM header.
    ASSERT_EQ(set.dictionaries.size(), 1u);
    EXPECT_EQ(set.dictionaries[0].contigs().size(), 2u);
    EXPECT_EQ(set.dictionaries[0].find("chr2")->length, 500u);
}

TEST(IntervalFiles, InlineAndFileItemsMix) {
    const temp_dir dir;
    write_file(dir.file("x.bed"), "chr3\t10\t20\n");
    interval_set set;
    set.origins.push_back("-O s2");
    std::string bad;
    ASSERT_TRUE(parse_interval_list("chr1,@" + dir.file("x.bed") + ",chr2:5", 2, 0, set, bad))
        << bad;
    EXPECT_EQ(entries_of(set), (std::vector<entry>{{"chr1", 0, all, 0, 2},
                                                   {"chr3", 10, 20, 1, 2},
                                                   {"chr2", 4, 5, 0, 2}}));
    EXPECT_EQ(set.where(set.intervals[0]), "-O s2");
    EXPECT_EQ(set.where(set.intervals[1]), dir.file("x.bed") + ": line 1");
}

TEST(IntervalFiles, BadLinesAreRefusedWithFileAndLine) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // BED starts count from 0 and ends are exclusive: an empty or reversed one is a mistake.
        {"t.bed", "chr1\t0\t10\nchr1\t10\t10\n",
         "t.bed: line 2: the end 10 does not lie after the start 10"},
        {"t.bed", "chr1\t-1\t10\n", "t.bed: line 1: start '-1' is not a decimal from 0"},
        {"t.bed", "chr1\t5\t4294967296\n", "t.bed: line 1: end '4294967296' is not a decimal"},
        {"t.bed", "chr1\t1,000\t2000\n", "t.bed: line 1: start '1,000' is not a decimal"},
        {"t.bed", "\nchr1\t5\n", "t.bed: line 2: expected a contig, a start and an end"},
        {"t.bed", "trackline\t1\t2\n", ""}, // a contig named so, not a track line
        {"t.bed", "# nothing\n", "t.bed: no intervals"},
        {"t.interval_list", list_header + "chr1\t0\t10\t+\tx\n",
         "t.interval_list: line 4: start '0' is not a decimal from 1 to 1000"},
        {"t.interval_list", list_header + "chr1\t10\t1001\t+\tx\n",
         "t.interval_list: line 4: end '1001' is not a decimal from 1 to 1000"},
        {"t.interval_list", list_header + "chr1\t10\t9\t+\tx\n",
         "t.interval_list: line 4: the end lies before the start"},
        {"t.interval_list", list_header + "chr1\t1\t10\n",
         "t.interval_list: line 4: expected contig, start, end, strand and name"},
        {"t.interval_list", list_header + "chr1\t1\t10\t*\tx\n",
         "t.interval_list: line 4: strand '*' is not + or -"},
        {"t.interval_list", list_header + "chrX\t1\t10\t+\tx\n",
         "t.interval_list: line 4: contig chrX is not in the file's @SQ lines"},
        {"t.interval_list", list_header + "chr1\t1\t10\t+\tx\n@SQ\tSN:chr3\tLN:5\n",
         "t.interval_list: line 5: a header line after the intervals"},
        {"t.interval_list", "@SQ\tSN:chr1\n", "t.interval_list: line 1: @SQ line without LN"},
        {"t.interval_list", "@SQ\tSN:chr1\tLN:10\n@SQ\tSN:chr1\tLN:10\n",
         "t.interval_list: line 2: contig chr1 is named twice (first on line 1)"},
        {"t.interval_list", "@SQ\tSN:chr1\tLN:0\n",
         "t.interval_list: line 1: length '0' is not a decimal from 1"},
        // Which name, or which length, would be meant cannot be told.
        {"t.interval_list", list_header + "@SQ\tSN:chr3\tLN:5\tSN:chr4\n",
         "t.interval_list: line 4: @SQ line with two SN fields"},
        {"t.interval_list", "@SQ\tLN:5\tSN:chr3\tLN:5\n",
         "t.interval_list: line 1: @SQ line with two LN fields"},
        // Lines are at most 64 KiB: a file without line feeds never fills the memory.
        {"t.list", "chr1\n" + std::string(65537, 'c') + "\nchr2\n",
         "t.list: line 2: longer than 65536 bytes"},
        {"t.bed", std::string(1 << 20, 'c'), "t.bed: line 1: longer than 65536 bytes"},
        {"t.list", "#" + std::string(65534, 'c') + "\r\nchr1", ""}, // 65536 bytes, then no LF
        {"t.list", "chr1:1-10\nchr1:20-10\n",
         "t.list: line 2: the end lies before the start"},
        {"t.list", "chr1:5,chr2\n", "t.list: line 1: '5,chr2' is not a position"},
        {"t.list", "chr 1\n", "t.list: line 1: a contig name holds no spaces"},
    };
    for (const auto& [name, text, error] : cases) {
        SCOPED_TRACE(text.substr(0, 100));
        const std::string thrown = load_error(name, text);
        EXPECT_EQ(thrown.substr(0, error.size()), error) << thrown;
        EXPECT_EQ(thrown.empty(), error.empty());
    }
    interval_set set;
    try {
        load_interval_file("/nonexistent/t.bed", 1, set);
        ADD_FAILURE() << "a missing file loaded";
    } catch (const record_error& e) {
        EXPECT_EQ(std::string(e.what()), "/nonexistent/t.bed: No such file or directory");
    }
}

// A FIFO would block the start until a writer came, and a device such as /dev/zero never ends:
// only regular files are read, and reading one never waits.
TEST(IntervalFiles, OnlyRegularFilesAreRead) {
    const temp_dir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo.bed").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.dict").c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("fifo.bed"), dir.file("fifo.bed") + ": is not a regular file"},
        {"/dev/zero", "/dev/zero: is not a regular file"},
        {dir.file(""), dir.file("") + ": is a directory, not a file"},
    };
    for (const auto& [path, error] : cases) {
        interval_set set;
        try {
            load_interval_file(path, 1, set);
            ADD_FAILURE() << path << " loaded";
        } catch (const record_error& e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
    }
    try {
        load_reference(dir.file("fifo.dict"));
        ADD_FAILURE() << "a FIFO loaded";
    } catch (const record_error& e) {
        EXPECT_EQ(std::string(e.what()), dir.file("fifo.dict") + ": is not a regular file");
    }
}

sequence_dictionary dictionary(const std::string& source,
                               const std::vector<std::pair<std::string, std::uint32_t>>& contigs) {
    sequence_dictionary d(source, source);
    std::uint32_t line = 1;
    for (const auto& [name, length] : contigs)
        d.add(name, length, ++line);
    return d;
}

TEST(SequenceDictionary, ReferenceFilesLoadByTheirName) {
    const temp_dir dir;
    write_file(dir.file("ref.fa.fai"), "chr1\t1000\t6\t60\t61\nchr2\t500\t1030\t60\t61\n");
    write_file(dir.file("ref.dict"), "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:1000\tM5:x\tUR:file:ref.fa\n"
                                     "@SQ\tSN:chr2\tLN:500\n");
    for (const char* name : {"ref.fa.fai", "ref.dict"}) {
        const sequence_dictionary d = load_reference(dir.file(name));
        ASSERT_EQ(d.contigs().size(), 2u) << name;
        EXPECT_EQ(d.contigs()[1].name, "chr2");
        EXPECT_EQ(d.contigs()[1].length, 500u);
        EXPECT_EQ(d.contigs()[1].line, std::string(name) == "ref.dict" ? 3u : 2u);
    }
    const std::pair<std::string, std::string> bad[] = {
        {"a.fai", "chr1\t1000\nchr2\n"},
        {"b.fai", "chr1\tlong\n"},
        {"c.dict", "@SQ\tSN:chr1\tLN:10\nchr2\t10\n"},
        {"d.dict", "@HD\tVN:1.6\n"},
    };
    const char* errors[] = {
        "a.fai: line 2: expected a contig name and its length separated by a tab",
        "b.fai: line 1: length 'long' is not a decimal from 1 to 4294967295",
        "c.dict: line 2: a sequence dictionary holds only header lines starting with '@'",
        "d.dict: no contigs",
    };
    for (std::size_t i = 0; i < std::size(bad); ++i) {
        write_file(dir.file(bad[i].first), bad[i].second);
        try {
            load_reference(dir.file(bad[i].first));
            ADD_FAILURE() << bad[i].first << " loaded";
        } catch (const record_error& e) {
            EXPECT_EQ(std::string(e.what()), dir.file(errors[i]));
        }
    }
    EXPECT_THROW(load_reference(dir.file("ref.fa")), std::invalid_argument);
}

TEST(SequenceDictionary, MismatchNamesTheFirstContigThatDiffers) {
    const sequence_dictionary ref = dictionary("ref.fai", {{"chr1", 1000}, {"chr2", 500}});
    const std::pair<sequence_dictionary, std::string> cases[] = {
        {dictionary("in.sam", {{"chr1", 1000}, {"chr2", 500}}), ""},
        {dictionary("in.sam", {{"chr1", 1000}, {"chr2", 501}}),
         "in.sam: line 3: contig chr2 has length 501, but 500 in ref.fai (line 3)"},
        {dictionary("in.sam", {{"chr2", 500}, {"chr1", 1000}}),
         "in.sam: line 2: contig chr2 where ref.fai has chr1 (line 2): the contigs differ in "
         "name or order"},
        {dictionary("in.sam", {{"chr1", 1000}}),
         "in.sam: contig chr2 of ref.fai (line 3) is missing: 1 contigs here, 2 there"},
        {dictionary("in.sam", {{"chr1", 1000}, {"chr2", 500}, {"chrM", 16569}}),
         "in.sam: line 4: contig chrM is not in ref.fai, which ends after 2 contigs"},
    };
    for (const auto& [checked, error] : cases)
        EXPECT_EQ(dictionary_mismatch(checked, ref), error);
}

TEST(SequenceDictionary, IntervalsMustLieOnItsContigs) {
    sequence_dictionary d = dictionary("in.sam", {{"chr1", 1000}});
    interval_set set;
    set.origins = {"-O s1"};
    const std::pair<std::string, std::string> cases[] = {
        {"chr1,chr1:1-1000,chr1:1000-,chr1:1000+1", ""},
        {"chr1:1-1001", "-O s1: interval chr1:1-1001 runs past the end of chr1, 1000 bases long "
                        "in in.sam (line 2)"},
        {"chr1:1001-", "-O s1: interval chr1:1001- runs past the end of chr1"},
        {"chr2:1-5", "-O s1: contig chr2 is not in in.sam"},
    };
    for (const auto& [text, error] : cases) {
        set.intervals.clear();
        std::string bad;
        ASSERT_TRUE(parse_interval_list(text, 1, 0, set, bad)) << bad;
        const std::string mismatch = interval_mismatch(set, set.intervals, d);
        EXPECT_EQ(mismatch.substr(0, error.size()), error) << mismatch;
        EXPECT_EQ(mismatch.empty(), error.empty());
    }
}

} // namespace
