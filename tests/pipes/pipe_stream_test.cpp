#include "pipes/pipe_stream.hpp"

#include "buffers/pool_fixture.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "support/process.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <memory>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// Opens `stream`, named `name`, on the bytes `data` (read by a `cat` child from a file in `dir`).
void open_stream(pipe_stream& stream, asio::io_context& io, const temp_dir& dir,
                 const std::string& data, const std::string& name = "in") {
    write_file(dir.file(name), data);
    stream.pipe = std::make_unique<pipe_descriptor>(io);
    stream.pipe->open_command("cat " + dir.file(name), "r");
    stream.name = name;
}

// The bytes the stream holds and has not handed out yet.
std::string unread(const pipe_stream& stream) {
    return std::string(stream.cursor, stream.cursor + stream.available);
}

// What `call` throws: "eof" for end of input, "system error N" for other system errors, the
// text of any other error, or "" when it returns.
template <class Call> std::string thrown_by(Call call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        return e.code().value() == 2 ? "eof" : "system error " + std::to_string(e.code().value());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Reads every record of `input` with read_fastq into one message, as the dicer does, the first
// with `suffix`, until the reader throws. Returns what it threw; `payload` gets the bytes after
// the header and `lengths` the sequence lengths returned.
std::string read_all_fastq(const std::string& input, std::string& payload,
                           std::vector<std::size_t>& lengths, const char* suffix = nullptr) {
    std::string outcome;
    const temp_dir dir;
    run_in_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        pipe_stream stream;
        open_stream(stream, io, dir, input, "in.fq");
        sg_buffer_list list;
        open_message(list, 0, yield);
        outcome = thrown_by([&] {
            for (const char* s = suffix;; s = nullptr)
                lengths.push_back(stream.read_fastq(list, s, yield));
        });
        payload = contents(list).substr(header_size);
    });
    return outcome;
}

TEST(Fill, ReadsAtLeastAChunkUntilTheBufferIsFullAndMovesUnreadBytesToTheFront) {
    std::string data(pipe_stream::buffer_size + 100, 'x');
    for (std::size_t i = 0; i < data.size(); i += 4093)
        data[i] = char('a' + i % 26);
    const temp_dir dir;
    run_in_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        pipe_stream stream;
        open_stream(stream, io, dir, data);
        for (int i = 0; i < 200 && stream.available < pipe_stream::buffer_size; ++i) {
            const std::uint64_t before = stream.available;
            stream.fill(yield);
            // A fill stops early only at the end of the input or of the buffer.
            EXPECT_GE(stream.available - before,
                      std::min<std::uint64_t>(65536, pipe_stream::buffer_size - before));
        }
        ASSERT_EQ(stream.available, pipe_stream::buffer_size);
        stream.fill(yield); // a full buffer reads nothing
        EXPECT_EQ(unread(stream), data.substr(0, pipe_stream::buffer_size));

        // All but 10 bytes handed out: those move to the front, and the last 100 bytes follow
        // them without an end-of-input error.
        stream.cursor += stream.available - 10;
        stream.available = 10;
        stream.fill(yield);
        EXPECT_EQ(unread(stream), data.substr(pipe_stream::buffer_size - 10));

        // Nothing new: end of input even though bytes are still unread, which move to the front.
        stream.cursor += 4;
        stream.available -= 4;
        EXPECT_EQ(thrown_by([&] { stream.fill(yield); }), "eof");
        EXPECT_EQ(stream.cursor, stream.buffer.get());
        EXPECT_EQ(unread(stream), data.substr(pipe_stream::buffer_size - 6));
    });
}

TEST(ReadFastq, CopiesWholeRecordsWithTheSuffixAndReturnsSequenceLengths) {
    // Longer than a widened pipe holds, so the record must be put together over several fills.
    const std::string big =
        "@big\n" + std::string(1536 * 1024, 'C') + "\n+\n" + std::string(1536 * 1024, 'J') + "\n";
    const struct {
        std::string input;
        const char* suffix;
        std::string expected; // empty: the input
        std::vector<std::size_t> lengths;
    } cases[] = {
        // Lines 2 and 4 may be empty; the quality length is not compared.
        {"@r1 first\nACGTA\n+r1\nIIIII\n@r2\n\n+\n\n@r3\nAC\n+\nI\n", nullptr, "", {5, 0, 2}},
        {"@r1 x\nACGT\n+\nIIII\n@r2\nA\n+\nI\n",
         " #4#",
         "@r1 x #4#\nACGT\n+\nIIII\n@r2\nA\n+\nI\n",
         {4, 1}},
        // A carriage return belongs to the line: the suffix follows it, the length omits it.
        {"@r1\r\nACGT\r\n+\r\nIIII\r\n", " #4#", "@r1\r #4#\nACGT\r\n+\r\nIIII\r\n", {4}},
        // A last record lacking only its final line feed gets one.
        {"@a\nAC\n+\nII\n@b\nG\n+\nI", nullptr, "@a\nAC\n+\nII\n@b\nG\n+\nI\n", {2, 1}},
        {"@a\nAC\r\n+\r\nII\r", nullptr, "@a\nAC\r\n+\r\nII\r\n", {2}},
        {"@a\nAC\n+\nII\n" + big + "@z\nG\n+\nI\n", nullptr, "", {2, 1536 * 1024, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        std::string payload;
        std::vector<std::size_t> lengths;
        EXPECT_EQ(read_all_fastq(c.input, payload, lengths, c.suffix), "eof");
        EXPECT_TRUE(payload == (c.expected.empty() ? c.input : c.expected))
            << payload.substr(0, 100);
        EXPECT_EQ(lengths, c.lengths);
    }
}

TEST(ReadFastq, BadRecordIsAnErrorBeforeAnythingOfItIsCopied) {
    // With a three-byte name, the byte after the line feed given to "@b\nAC" is no '+' left
    // over from this record.
    const std::string good = "@a1\nAC\n+\nII\n";
    const std::pair<std::string, std::string> cases[] = {
        {"@b\nAC", "record 2: incomplete record at end of input"},
        {"@b\nAC\n+", "record 2: incomplete record at end of input"},
        {"@b\nAC\n+\n", "record 2: incomplete record at end of input"},
        {"Xb\nAC\n+\nII\n", "record 2: line 1 does not begin with '@'"},
        {"\n@b\nAC\n+\nII\n", "record 2: blank line where a record should start"},
        {"@b\nAC\n-\nII\n", "record 2: line 3 does not begin with '+'"},
        // Just over the buffer, so the writer finishes and the stream closes cleanly.
        {"@long\n" + std::string(pipe_stream::buffer_size, 'A') + "\n+\n\n",
         "record 2 is longer than the 4 MiB input buffer"},
    };
    for (const auto& [bad, error] : cases) {
        std::string payload;
        std::vector<std::size_t> lengths;
        EXPECT_EQ(read_all_fastq(good + bad, payload, lengths), "in.fq: " + error);
        EXPECT_EQ(payload, good);
    }
}

struct sam_run {
    std::string thrown;
    std::vector<std::string> open;                // per shard: its open message, header included
    std::vector<std::vector<std::string>> queued; // per group: whole messages, oldest first
};

// Runs read_sam over `sam` for shards 1.. with the interval lists `intervals` (0 takes the
// rest), with one open message per shard as the sharder sets them up, shard 1's filled to leave
// `room` bytes in its block when `room` is not 0. Returns what read_sam threw, the open messages
// and everything queued.
sam_run route(const std::string& sam, const std::vector<std::string>& intervals,
              std::uint64_t room = 0) {
    shard_map shards;
    for (std::size_t k = 0; k < intervals.size(); ++k) {
        std::string text = intervals[k];
        EXPECT_TRUE(parse_interval_list(text.data(), shards)) << text;
        stamp_shard(shards, std::uint32_t(k + 1));
    }
    const std::size_t count = intervals.size() + 1;
    sam_run result;
    const temp_dir dir;
    run_in_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        group_table groups;
        groups.resize(count);
        std::vector<sg_buffer_list> lists(count);
        for (std::size_t k = 0; k < count; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        const std::string filler(room ? block - header_size - room : 0, 'f');
        lists[1].append(filler.data(), filler.data() + filler.size(), yield);
        pipe_stream stream;
        open_stream(stream, io, dir, sam, "stdin");
        result.thrown = thrown_by([&] { stream.read_sam(shards, lists, groups, yield); });
        result.queued.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
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

std::string payload_of(const std::string& message) { return message.substr(header_size); }

TEST(ReadSam, CopiesHeaderLinesToEveryShardAndRoutesByContigAndPosition) {
    const std::string header = "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:900\n";
    // Shard 1 is chr2:101-200 (start 100, end 200); shard 2 overlaps it and loses there.
    const sam_run r = route(header + "a\t0\tchr2\t100\t60\n" // just before: shard 0
                                     "@CO\tlate\n"           // past the header: goes nowhere
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
    EXPECT_EQ(payload_of(r.open[0]), header +
                                         "a\t0\tchr2\t100\t60\ne\t0\tchr1\t0\t60\ng\t4\t*\t0\t0\n"
                                         "h\t0\tchrX\t150\t60\ni\t0\tchr2\t301\t60\n");
    EXPECT_EQ(payload_of(r.open[1]), header + "b\t0\tchr2\t101\t60\nc\t0\tchr2\t200\t60\n");
    EXPECT_EQ(payload_of(r.open[2]), header + "d\t0\tchr2\t201\t60\nf\t0\tchr1\t7\t60\n");
    for (const auto& q : r.queued)
        EXPECT_TRUE(q.empty());
}

TEST(ReadSam, ShortOrOverlongLineIsAnErrorWithItsLineNumber) {
    const std::pair<std::string, std::string> cases[] = {
        // Three fields: the scan must not run on into the next line's tabs.
        {"r1\t0\tchr1\nr2\t0\tchr1\t5\n", "stdin: line 3 has fewer than four fields"},
        {std::string(pipe_stream::buffer_size + 100, 'A'),
         "stdin: line 3 is longer than the 4 MiB input buffer"},
    };
    for (const auto& [tail, error] : cases) {
        const sam_run r = route("@HD\n\n" + tail, {"chr1"});
        EXPECT_EQ(r.thrown, error);
        EXPECT_EQ(payload_of(r.open[1]), "@HD\n");
    }
}

TEST(ReadSam, LineThatDoesNotFitTheBlockClosesTheShardsMessage) {
    const std::string fits = "x\t0\tchr1\t5\t" + std::string(100 - 12, 'A') + "\n";
    const std::string too_long = "y\t0\tchr1\t6\t" + std::string(150 - 12, 'C') + "\n";
    // Exactly 100 bytes of room in shard 1's block.
    const sam_run r = route(fits + "r\t0\tchr9\t1\n" + too_long, {"chr1"}, 100);
    EXPECT_EQ(r.thrown, "eof");
    ASSERT_EQ(r.queued[1].size(), 1u);
    const std::string& closed = r.queued[1][0];
    EXPECT_EQ(closed.size(), sg_buffer::block_size) << "a line that fits exactly stays";
    const message_header h = load_header(closed.data());
    EXPECT_TRUE(h.length == sg_buffer::block_size - header_size && h.group == 1 &&
                header_is_valid(h));
    EXPECT_EQ(closed.substr(closed.size() - 100), fits);
    // The next message starts with a fresh header and the line that did not fit.
    EXPECT_EQ(r.open[1], std::string("\0\0\0\0\1\0\0\0", 8) + too_long);
    // Other shards are untouched.
    EXPECT_TRUE(r.queued[0].empty());
    EXPECT_EQ(payload_of(r.open[0]), "r\t0\tchr9\t1\n");
}

} // namespace
