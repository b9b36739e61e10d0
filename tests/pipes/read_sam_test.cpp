#include "pipes/pipe_stream.hpp"

#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "pipes/stream_harness.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// Shard k of `intervals` (k from 1) gets the interval list intervals[k - 1], options in order.
shard_map make_shards(std::initializer_list<std::string> intervals) {
    shard_map shards;
    std::uint32_t shard = 1;
    for (std::string text : intervals) {
        EXPECT_TRUE(parse_interval_list(text.data(), shards)) << text;
        stamp_shard(shards, shard++);
    }
    return shards;
}

std::string header_of(const std::string& message) {
    const message_header h = load_header(message.data());
    return "length " + std::to_string(h.length) + " group " + std::to_string(h.group) +
           (header_is_valid(h) ? " valid" : " invalid");
}

// Runs read_sam over `sam` (printed by a command) with one open message per shard, as the SAM
// sharder sets them up. `prepare` may fill the lists first. Returns what read_sam threw; the
// lists' open messages go to `open`, everything queued in the groups to `queued`.
struct sam_run {
    std::string thrown;
    std::vector<std::string> open;                // per shard: header + payload
    std::vector<std::vector<std::string>> queued; // per group: whole messages, oldest first
};

template <class Prepare>
sam_run route(const std::string& command, const shard_map& shards, std::size_t shard_count,
              Prepare prepare) {
    sam_run result;
    run_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        group_table groups;
        groups.resize(shard_count);
        std::vector<sg_buffer_list> lists(shard_count);
        for (std::size_t k = 0; k < shard_count; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        prepare(lists, yield);
        pipe_stream stream;
        open_stream(stream, io, command, "stdin");
        result.thrown = thrown_by([&] { stream.read_sam(shards, lists, groups, yield); });
        result.queued.resize(shard_count);
        for (std::size_t k = 0; k < shard_count; ++k) {
            result.open.push_back(contents(lists[k]));
            while (groups[k].message_count() > 0) {
                sg_buffer_list message;
                pop_message(groups[k], message, yield);
                result.queued[k].push_back(contents(message));
            }
        }
    });
    return result;
}

sam_run route(const std::string& sam, const shard_map& shards, std::size_t shard_count) {
    return route("printf '%s' '" + sam + "'", shards, shard_count,
                 [](std::vector<sg_buffer_list>&, asio::yield_context) {});
}

// The payload of an open message whose header is still {0, group, 0}.
std::string payload_of(const std::string& open_message_bytes) {
    return open_message_bytes.substr(header_size);
}

} // namespace

TEST(ReadSam, HeaderLinesGoToEveryShardUntilTheFirstAlignment) {
    const std::string header = "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:900\n";
    const sam_run r = route(header + "r1\t0\tchr1\t5\n@CO\tlate\nr2\t0\tchr2\t5\n",
                            make_shards({"chr1", "chr2"}), 3);
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.open.size(), 3u);
    EXPECT_EQ(payload_of(r.open[0]), header);
    EXPECT_EQ(payload_of(r.open[1]), header + "r1\t0\tchr1\t5\n");
    EXPECT_EQ(payload_of(r.open[2]), header + "r2\t0\tchr2\t5\n");
}

TEST(ReadSam, RoutesByContigAndPosition) {
    // Shard 1 is chr2:101-200 (start 100, end 200); shard 2 overlaps it and loses there.
    const shard_map shards = make_shards({"chr2:101-200", "chr2:150-300,chr1"});
    const std::string sam = "a\t0\tchr2\t100\t60\n"  // just before: shard 0
                            "b\t0\tchr2\t101\t60\n"  // first position: shard 1
                            "c\t0\tchr2\t200\t60\n"  // last position: shard 1
                            "d\t0\tchr2\t201\t60\n"  // past it: shard 2
                            "\n"                     // blank lines carry nothing
                            "e\t0\tchr1\t0\t60\n"    // position 0 is outside every interval
                            "f\t0\tchr1\t7\t60\n"    // whole contig: shard 2
                            "g\t4\t*\t0\t0\n"        // unmapped: shard 0
                            "h\t0\tchrX\t150\t60\n"  // unknown contig: shard 0
                            "i\t0\tchr2\t301\t60";   // last line without line feed
    const sam_run r = route(sam, shards, 3);
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.open.size(), 3u);
    EXPECT_EQ(payload_of(r.open[0]), "a\t0\tchr2\t100\t60\ne\t0\tchr1\t0\t60\ng\t4\t*\t0\t0\n"
                                     "h\t0\tchrX\t150\t60\ni\t0\tchr2\t301\t60\n");
    EXPECT_EQ(payload_of(r.open[1]), "b\t0\tchr2\t101\t60\nc\t0\tchr2\t200\t60\n");
    EXPECT_EQ(payload_of(r.open[2]), "d\t0\tchr2\t201\t60\nf\t0\tchr1\t7\t60\n");
    for (const auto& q : r.queued)
        EXPECT_TRUE(q.empty());
}

TEST(ReadSam, LineWithFewerThanFourFieldsIsAnErrorWithItsLineNumber) {
    // Three fields: the scan must not run on into the next line's tabs.
    const sam_run r = route("@HD\n\nr1\t0\tchr1\nr2\t0\tchr1\t5\n", make_shards({"chr1"}), 2);
    EXPECT_EQ(r.thrown, "stdin: line 3 has fewer than four fields");
    EXPECT_EQ(payload_of(r.open[1]), "@HD\n");

    const sam_run last = route("r1\t0\tchr1\t5\nr2", make_shards({"chr1"}), 2);
    EXPECT_EQ(last.thrown, "stdin: line 2 has fewer than four fields");
}

TEST(ReadSam, LineThatDoesNotFitTheBlockClosesTheShardsMessage) {
    const std::string fits = "x\t0\tchr1\t5\t" + std::string(100 - 12, 'A') + "\n";
    const std::string too_long = "y\t0\tchr1\t6\t" + std::string(150 - 12, 'C') + "\n";
    ASSERT_EQ(fits.size(), 100u);
    ASSERT_EQ(too_long.size(), 150u);
    const std::string filler(sg_buffer::block_size - header_size - 200, 'f');
    const std::string command = "printf '%s' '" + fits + "r\t0\tchr9\t1\n" + too_long + "'";
    const sam_run r = route(command, make_shards({"chr1"}), 2,
                            [&](std::vector<sg_buffer_list>& lists, asio::yield_context yield) {
                                // Leave exactly 100 bytes of room in shard 1's block.
                                lists[1].append(filler.data(), filler.data() + filler.size(), yield);
                                lists[1].append(filler.data(), filler.data() + 100, yield);
                            });
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.queued[1].size(), 1u);
    const std::string& closed = r.queued[1][0];
    EXPECT_EQ(closed.size(), sg_buffer::block_size) << "a line that fits exactly stays";
    EXPECT_EQ(header_of(closed), "length " + std::to_string(sg_buffer::block_size - header_size) +
                                     " group 1 valid");
    EXPECT_EQ(closed.substr(closed.size() - 100), fits);
    // The next message starts with a fresh header and the line that did not fit.
    EXPECT_EQ(r.open[1].substr(0, header_size), std::string("\0\0\0\0\1\0\0\0", 8));
    EXPECT_EQ(payload_of(r.open[1]), too_long);
    // Other shards are untouched.
    EXPECT_TRUE(r.queued[0].empty());
    EXPECT_EQ(payload_of(r.open[0]), "r\t0\tchr9\t1\n");
}

TEST(ReadSam, LineLongerThanTheBufferIsAnErrorNotAHang) {
    const sam_run r = route("printf 'r\\t0\\tchr1\\t5\\n'; head -c 4194400 /dev/zero | tr '\\0' A",
                            make_shards({"chr1"}), 2,
                            [](std::vector<sg_buffer_list>&, asio::yield_context) {});
    EXPECT_EQ(r.thrown, "stdin: line 2 is longer than the 4 MiB input buffer");
    EXPECT_EQ(payload_of(r.open[1]), "r\t0\tchr1\t5\n");
}
