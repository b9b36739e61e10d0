#include "formats/sam.hpp"

#include "formats/input_source.hpp"

#include "buffers/pool_fixture.hpp"
#include "io/reader_fixture.hpp"
#include "wire/message_header.hpp"

#include <algorithm>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

struct sam_run {
    std::string thrown;
    std::vector<std::string> open;                // per shard: its open message, header included
    std::vector<std::vector<std::string>> queued; // per group: whole messages, oldest first
    std::string preamble;                         // the header lines, sent to every session
    bool preamble_known = false;
    std::uint64_t preamble_lines = 0;
    bool records_counted = true; // every message's first block counts its lines
    input_counters counters;
};

// The lines of a message after its header.
std::uint64_t lines_of(const std::string& message) {
    return std::uint64_t(std::count(message.begin() + header_size, message.end(), '\n'));
}

// Runs read_sam over `sam` for shards 1.. with the interval lists `intervals` (0 takes the
// rest), with one open message per shard as the sharder sets them up, shard 1's filled to leave
// `room` bytes in its block when `room` is not 0. Read from a pipe, the input comes in small
// pieces that are routed on the loop; `from_file` reads it as a file is read, in large pieces,
// which parsing_off_the_loop routes on the parser thread. Returns what read_sam threw, the open
// messages and everything queued.
sam_run route(const std::string& sam, const std::vector<std::string>& intervals,
              std::uint64_t room = 0, std::uint32_t pad = 0, bool from_file = false) {
    option_map options;
    for (std::size_t k = 0; k < intervals.size(); ++k)
        options["s" + std::to_string(k + 1)] = intervals[k];
    if (pad)
        options["pad"] = std::to_string(pad);
    const shard_plan plan = parse_shard_options(options, 1024);
    const std::size_t count = intervals.size() + 1;
    sam_run result;
    const temp_dir dir;
    run_in_coroutine([&](asio::io_context& io, const asio::yield_context& yield) {
        group_table groups(test_pool());
        groups.resize(count);
        std::vector<block_chain> lists;
        for (std::size_t k = 0; k < count; ++k)
            lists.emplace_back(test_pool());
        for (std::size_t k = 0; k < count; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        const std::string filler(room ? block_bytes - header_size - room : 0, 'f');
        lists[1].append(filler.data(), filler.data() + filler.size(), yield);
        record_reader stream;
        if (from_file) {
            write_file(dir.file("in.sam"), sam);
            open_input(stream, dir.file("in.sam"), io);
        } else {
            open_stream(stream, io, dir, sam, "stdin");
        }
        result.thrown =
            thrown_by([&] { read_sam(stream, plan, lists, groups, result.counters, yield); });
        result.queued.resize(count);
        result.preamble = groups.preamble().text;
        result.preamble_known = groups.preamble().known;
        result.preamble_lines = groups.preamble().lines;
        for (std::size_t k = 0; k < count; ++k) {
            result.open.push_back(contents(lists[k]));
            result.records_counted &=
                lists[k].blocks().front().records == lines_of(result.open.back());
            while (groups[k].message_count() > 0) {
                block_chain message(test_pool());
                pop_message(groups[k], message, yield);
                result.queued[k].push_back(contents(message));
                result.records_counted &=
                    message.blocks().front().records == lines_of(result.queued[k].back());
            }
        }
    });
    return result;
}

std::string payload_of(const std::string& message) {
    return message.substr(header_size);
}

// The header is the sessions' preamble, never part of a shard's messages: a message sent again
// to another worker must not carry it into the middle of that worker's output.
TEST(ReadSam, TakesHeaderLinesAsThePreambleAndRoutesByContigAndPosition) {
    const std::string header = "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:900\n";
    // Shard 1 is chr2:101-200 (start 100, end 200); shard 2 overlaps it and loses there.
    const sam_run r = route(header + "a\t0\tchr2\t100\t60\n" // just before: shard 0
                                     "b\t0\tchr2\t101\t60\n" // first position: shard 1
                                     "c\t0\tchr2\t200\t60\n" // last position: shard 1
                                     "d\t0\tchr2\t201\t60\n" // past it: shard 2
                                     "\n"                    // blank lines carry nothing
                                     "e\t0\tchr1\t0\t60\n"   // position 0 is outside every interval
                                     "f\t0\tchr1\t7\t60\n"   // whole contig: shard 2
                                     "g\t4\t*\t0\t0\n"       // unmapped: shard 0
                                     "h\t0\tchrX\t150\t60\n" // unknown contig: shard 0
                                     "i\t0\tchr2\t301\t60",  // last line without line feed
                            {"chr2:101-200", "chr2:150-300,chr1"});
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.open.size(), 3u);
    EXPECT_EQ(r.preamble, header);
    EXPECT_TRUE(r.preamble_known);
    EXPECT_EQ(r.preamble_lines, 3u);
    EXPECT_EQ(payload_of(r.open[0]), "a\t0\tchr2\t100\t60\ne\t0\tchr1\t0\t60\ng\t4\t*\t0\t0\n"
                                     "h\t0\tchrX\t150\t60\ni\t0\tchr2\t301\t60\n");
    EXPECT_EQ(payload_of(r.open[1]), "b\t0\tchr2\t101\t60\nc\t0\tchr2\t200\t60\n");
    EXPECT_EQ(payload_of(r.open[2]), "d\t0\tchr2\t201\t60\nf\t0\tchr1\t7\t60\n");
    for (const auto& q : r.queued)
        EXPECT_TRUE(q.empty());
    // What --summary and --progress report: lines per message, and every input line taken.
    EXPECT_TRUE(r.records_counted);
    EXPECT_EQ(r.counters.records, 13u);
}

TEST(ReadSam, MalformedLineIsAnErrorWithItsLineNumber) {
    const std::string bad_pos = "stdin: line 3: POS is not a decimal number from 0 to 2147483647";
    const std::pair<std::string, std::string> cases[] = {
        // Routing by a misread position would put the line in the wrong shard.
        {"r1\t0\tchr1\t50xyz\t60\n", bad_pos},
        {"r1\t0\tchr1\t4294967396\t60\n", bad_pos}, // 2^32 + 100 must not wrap to 100
        {"r1\t0\tchr1\t2147483648\n", bad_pos},
        {"r1\t0\tchr1\t99999999999999999999999\t60\n", bad_pos},
        {"r1\t0\tchr1\t\t60\n", bad_pos},
        {"r1\t0\tchr1\t-5\t60\n", bad_pos},
        {"r1\t0\tchr1\t+5\t60\n", bad_pos},
        {"r1\t0\tchr1\t 5\t60\n", bad_pos},
        {"r1\t0\tchr1\t5\r\r\n", bad_pos},
        // A header line that comes late could reach no shard.
        {"r1\t0\tchr9\t5\n@CO\tlate\n",
         "stdin: line 4: header line after the first alignment line"},
        // Three fields: the scan must not run on into the next line's tabs.
        {"r1\t0\tchr1\nr2\t0\tchr1\t5\n", "stdin: line 3 has fewer than four fields"},
        {std::string(record_reader::buffer_size + 100, 'A'),
         "stdin: line 3 is longer than the 4 MiB input buffer"},
    };
    for (const auto& [tail, error] : cases) {
        SCOPED_TRACE(tail.substr(0, 30));
        const sam_run r = route("@HD\n\n" + tail, {"chr1"});
        EXPECT_EQ(r.thrown, error);
        EXPECT_EQ(r.preamble, "@HD\n");
        EXPECT_EQ(payload_of(r.open[1]), "");
    }
}

TEST(ReadSam, PositionsAtTheEndsOfTheRangeRouteByValue) {
    const std::string in = "a\t0\tchr1\t2147483647\t60\n" // largest POS: shard 1
                           "b\t0\tchr1\t0\n"               // unplaced: shard 0
                           "c\t0\tchr1\t00000100\r\n"      // leading zeros, CRLF: shard 2
                           "d\t0\tchr1\t99\n";
    const sam_run r = route(in, {"chr1:101-2147483647", "chr1:100-100"});
    EXPECT_EQ(r.thrown, "eof");
    EXPECT_EQ(payload_of(r.open[0]), "b\t0\tchr1\t0\nd\t0\tchr1\t99\n");
    EXPECT_EQ(payload_of(r.open[1]), "a\t0\tchr1\t2147483647\t60\n");
    EXPECT_EQ(payload_of(r.open[2]), "c\t0\tchr1\t00000100\r\n");
}

TEST(ReadSam, LineThatDoesNotFitTheBlockClosesTheShardsMessage) {
    const std::string fits = "x\t0\tchr1\t5\t" + std::string(100 - 12, 'A') + "\n";
    const std::string too_long = "y\t0\tchr1\t6\t" + std::string(150 - 12, 'C') + "\n";
    // Exactly 100 bytes of room in shard 1's block.
    const sam_run r = route(fits + "r\t0\tchr9\t1\n" + too_long, {"chr1"}, 100);
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.queued[1].size(), 1u);
    const std::string& closed = r.queued[1][0];
    EXPECT_EQ(closed.size(), block::block_size) << "a line that fits exactly stays";
    const message_header h = load_header(closed.data());
    EXPECT_TRUE(h.length == block::block_size - header_size && h.group == 1 && header_is_valid(h));
    EXPECT_EQ(closed.substr(closed.size() - 100), fits);
    // The next message starts with a fresh header and the line that did not fit.
    EXPECT_EQ(r.open[1], std::string("\0\0\0\0\1\0\0\0", 8) + too_long);
    // Other shards are untouched.
    EXPECT_TRUE(r.queued[0].empty());
    EXPECT_EQ(payload_of(r.open[0]), "r\t0\tchr9\t1\n");
}

TEST(ReadSam, RunOfLinesForOneShardClosesAtTheFirstLineThatDoesNotFit) {
    // Three 60-byte lines for shard 1 in a row, with 100 bytes of room: the first stays, the
    // second opens the next message, and the third follows it there.
    const auto line = [](char name, int pos) {
        return std::string(1, name) + "\t0\tchr1\t" + std::to_string(pos) + "\t" +
               std::string(48, 'A') + "\n";
    };
    const sam_run r = route(line('a', 5) + line('b', 6) + line('c', 7), {"chr1"}, 100);
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.queued[1].size(), 1u);
    EXPECT_EQ(r.queued[1][0].size(), block::block_size - 40);
    EXPECT_EQ(r.queued[1][0].substr(r.queued[1][0].size() - 60), line('a', 5));
    EXPECT_EQ(payload_of(r.open[1]), line('b', 6) + line('c', 7));
}

// Many shards each filling a block slowly would hold the whole input until its end: past 32 MiB
// held in all, the fullest message goes as it is, and each shard's lines stay in order.
TEST(ReadSam, ManyShardsHoldAtMost32MiBInOpenMessages) {
    constexpr int shards = 16;
    std::vector<std::string> intervals, expected(shards + 1);
    for (int k = 1; k <= shards; ++k)
        intervals.push_back("chr" + std::to_string(k));
    std::string sam;
    for (int i = 0; sam.size() < (std::size_t(40) << 20); ++i) {
        const int k = 1 + i % shards;
        const std::string line = "r" + std::to_string(i) + "\t0\tchr" + std::to_string(k) +
                                 "\t" + std::to_string(1 + i) + "\t" + std::string(900, 'A') + "\n";
        sam += line;
        expected[k] += line;
    }
    const parsing_off_the_loop threaded;
    const sam_run r = route(sam, intervals, 0, 0, true);
    EXPECT_EQ(r.thrown, "eof");
    std::uint64_t held = 0, sent = 0;
    for (int k = 1; k <= shards; ++k) {
        SCOPED_TRACE(k);
        std::string lines;
        for (const std::string& message : r.queued[k]) {
            EXPECT_GT(message.size(), header_size) << "never an empty message";
            EXPECT_LT(message.size(), block::block_size) << "sent before its block was full";
            lines += payload_of(message);
            ++sent;
        }
        held += r.open[k].size() - header_size;
        EXPECT_TRUE(lines + payload_of(r.open[k]) == expected[k]);
    }
    EXPECT_GT(sent, 0u);
    EXPECT_LE(held, std::uint64_t(32) << 20);
    EXPECT_TRUE(r.records_counted);
}

TEST(ReadSam, HeaderIsCheckedBeforeAnyAlignmentIsRouted) {
    const std::pair<std::string, std::string> cases[] = {
        {"@SQ\tSN:chr1\n", "stdin: line 1: @SQ line without LN field"},
        {"@SQ\tSN:chr1\tLN:10\r\n@SQ\tSN:chr1\tLN:10\n",
         "stdin: line 2: contig chr1 is named twice (first on line 1)"},
        {"@SQ\tSN:chr1\tLN:10\n@SQ\tLN:x\tSN:chr2\n",
         "stdin: line 2: length 'x' is not a decimal from 1 to 4294967295"},
        // A second name or length once silently replaced the first.
        {"@SQ\tSN:chr2\tLN:10\tSN:chr1\n", "stdin: line 1: @SQ line with two SN fields"},
        {"@SQ\tSN:chr1\tLN:10\tLN:20\r\n", "stdin: line 1: @SQ line with two LN fields"},
        // Found at the end of the header, whether an alignment follows or the input ends.
        {"@SQ\tSN:chr2\tLN:10\na\t0\tchr1\t5\t60\n",
         "-O s1: contig chr1 is not in the header of stdin"},
        {"@SQ\tSN:chr2\tLN:10\n", "-O s1: contig chr1 is not in the header of stdin"},
    };
    for (const auto& [sam, error] : cases) {
        const sam_run r = route(sam, {"chr1"});
        EXPECT_EQ(r.thrown, error);
        EXPECT_EQ(payload_of(r.open[0]).find("a\t0"), std::string::npos);
    }
}

TEST(ReadSam, PaddingCopiesLinesWhoseSpanReachesAnotherShard) {
    const std::string header = "@SQ\tSN:chr1\tLN:1000\n";
    // Shard 1 holds 1-100, shard 2 101-200; pad 5 reaches from 96 to 105.
    const std::string near = "n\t0\tchr1\t81\t60\t3S10M2D3M4S\t*\n"; // 81-95
    const std::string across = "x\t0\tchr1\t82\t60\t3S10M2D3M4S\t*\n"; // 82-96
    const std::string back = "y\t0\tchr1\t106\t60\t5M\t*\n";           // 106-110
    const std::string reach = "z\t0\tchr1\t105\t60\t5M\t*\n";          // 105-109
    const std::string unmapped = "u\t4\tchr1\t96\t0\t*\t*\n";          // 96, one base
    const sam_run r = route(header + near + across + reach + back + unmapped,
                            {"chr1:1-100", "chr1:101-200"}, 0, 5);
    EXPECT_EQ(r.thrown, "eof");
    EXPECT_EQ(payload_of(r.open[1]), near + across + reach + unmapped);
    EXPECT_EQ(payload_of(r.open[2]), across + reach + back + unmapped);
    EXPECT_EQ(payload_of(r.open[0]), "");
    EXPECT_TRUE(r.records_counted) << "copies count in the shards they go to";
    const std::pair<std::string, std::string> bad[] = {
        {"a\t0\tchr1\t5\t60\n", "stdin: line 2 has no CIGAR field, which padding needs"},
        {"a\t0\tchr1\t5\t60\t5M3\t*\n", "stdin: line 2: malformed CIGAR '5M3'"},
    };
    for (const auto& [line, error] : bad)
        EXPECT_EQ(route(header + line, {"chr1"}, 0, 5).thrown, error);
}

// Large input is routed on the parser thread, which cuts the shards' messages itself from a few
// spare blocks and stops for more: whatever the cuts, every shard gets its lines and their
// padding copies whole, in input order, each exactly once.
TEST(ReadSam, InputRoutedOffTheLoopReachesEveryShardWholeAndInOrder) {
    const std::string header = "@SQ\tSN:chr1\tLN:2000\n@SQ\tSN:chr2\tLN:2000\n";
    // Shard 1 is chr1:1-1000, shard 2 chr1:1001-2000, shard 3 chr2; pad 50 copies a chr1 line
    // to the other chr1 shard when its span reaches within 50 bases of it.
    std::vector<std::string> expected(4);
    std::string sam = header;
    for (std::uint64_t i = 0; sam.size() < (std::uint64_t(24) << 20); ++i) {
        const std::uint64_t position = 1 + i * 37 % 1940;
        const std::uint64_t bases = 1 + i * 13 % 60; // the span ends by 2000
        // Lines of many lengths, a few longer than a quarter of a block.
        const std::size_t extra = i % 97 == 0 ? (std::size_t(1) << 20) + i : i * 7 % 3000;
        const bool unmapped = i % 11 == 0, second = i % 5 == 0;
        const std::string line = "r" + std::to_string(i) + (unmapped ? "\t4\t*\t0\t0\t*" :
            "\t0\t" + std::string(second ? "chr2" : "chr1") + "\t" + std::to_string(position) +
            "\t60\t" + std::to_string(bases) + "M") + "\t" + std::string(extra, 'A') + "\n";
        sam += line;
        const std::uint64_t last = position + bases - 1;
        if (unmapped) {
            expected[0] += line;
        } else if (second) {
            expected[3] += line;
        } else {
            if (position <= 1000 || position <= 1050) // home 1, or home 2 reaching back
                expected[1] += line;
            if (position > 1000 || last >= 951) // home 2, or home 1 reaching forward
                expected[2] += line;
        }
    }
    const parsing_off_the_loop threaded;
    const sam_run r = route(sam, {"chr1:1-1000", "chr1:1001-2000", "chr2"}, 0, 50, true);
    EXPECT_EQ(r.thrown, "eof");
    EXPECT_EQ(r.preamble, header);
    for (std::size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE(k);
        std::string lines;
        for (const std::string& message : r.queued[k])
            lines += payload_of(message);
        lines += payload_of(r.open[k]);
        if (k > 0) {
            EXPECT_GT(r.queued[k].size(), 0u) << "the test cuts no message";
        }
        EXPECT_TRUE(lines == expected[k]) << lines.size() << " bytes, not " << expected[k].size();
    }
    EXPECT_TRUE(r.records_counted);
}

TEST(ReadSam, CigarReferenceLengthCountsMDNEqualsAndX) {
    const std::pair<const char*, std::uint64_t> good[] = {
        {"*", 0},           {"10M", 10},         {"3S5M2D4M1I3M5S", 14}, {"5M100N5M", 110},
        {"4=1X4=", 9},      {"2H3M1P2I2H", 3},   {"0M", 0},
    };
    for (const auto& [cigar, length] : good) {
        std::uint64_t n = 99;
        EXPECT_TRUE(cigar_reference_length(cigar, n)) << cigar;
        EXPECT_EQ(n, length) << cigar;
    }
    for (const char* cigar : {"", "M", "10", "5M3", "5Q", "-5M", "5m", "99999999999M", "5M*"}) {
        std::uint64_t n = 0;
        EXPECT_FALSE(cigar_reference_length(cigar, n)) << cigar;
    }
}

} // namespace
