#include "pipes/pipe_stream.hpp"

#include "net/message_header.hpp"
#include "pipes/stream_harness.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// A shell command that prints `data` byte for byte (every byte as an octal escape).
std::string printf_command(const std::string& data) {
    std::string format;
    for (unsigned char c : data) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\%03o", c);
        format += escape;
    }
    return "printf '" + format + "'";
}

// Reads every record of `input` with read_fastq into one list (after an 8-byte message header,
// as the dicer does) until the reader throws. Returns what it threw; `payload` gets the bytes
// after the header and `lengths` the returned sequence lengths.
std::string read_all_fastq(const std::string& command, std::string& payload,
                           std::vector<std::size_t>* lengths = nullptr,
                           const char* first_suffix = nullptr) {
    std::string outcome;
    run_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        pipe_stream stream;
        open_stream(stream, io, command, "in.fq");
        sg_buffer_list list;
        open_message(list, 0, yield);
        const char* suffix = first_suffix;
        outcome = thrown_by([&] {
            for (;;) {
                const std::size_t n = stream.read_fastq(list, suffix, yield);
                suffix = nullptr;
                if (lengths)
                    lengths->push_back(n);
            }
        });
        payload = contents(list).substr(header_size);
    });
    return outcome;
}

} // namespace

TEST(Fill, EndOfInputReturnsNewBytesThenThrowsKeepingUnreadOnes) {
    run_coroutine([](asio::io_context& io, asio::yield_context yield) {
        pipe_stream stream;
        open_stream(stream, io, "printf 0123456789");
        stream.fill(yield);
        EXPECT_EQ(unread(stream), "0123456789");
        EXPECT_EQ(stream.cursor, stream.buffer.get());

        // Nothing new: end of input even though ten bytes are still unread.
        EXPECT_EQ(thrown_by([&] { stream.fill(yield); }), "eof");
        EXPECT_EQ(unread(stream), "0123456789");

        stream.cursor += 4;
        stream.available -= 4;
        EXPECT_EQ(thrown_by([&] { stream.fill(yield); }), "eof");
        EXPECT_EQ(stream.cursor, stream.buffer.get()) << "unread bytes move to the front";
        EXPECT_EQ(unread(stream), "456789");
    });
}

TEST(Fill, ReadsAtLeastAChunkAndKeepsUnreadBytesInOrder) {
    temp_dir dir;
    std::string data;
    for (int i = 0; data.size() < 300000; ++i)
        data += std::to_string(i) + ',';
    write_file(dir.file("data"), data);
    run_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        pipe_stream stream;
        open_stream(stream, io, "cat " + dir.file("data"));
        std::size_t taken = 0; // bytes of `data` handed out so far
        std::string seen;
        for (;;) {
            const std::size_t before = stream.available;
            if (thrown_by([&] { stream.fill(yield); }) == "eof")
                break;
            const std::size_t added = stream.available - before;
            // A fill stops early only at the end of the input.
            if (taken + stream.available < data.size()) {
                EXPECT_GE(added, 65536u);
            }
            ASSERT_EQ(unread(stream), data.substr(taken, stream.available));
            // Hand out a third, so the next fill must move the rest to the front.
            const std::size_t n = stream.available / 3 + 1;
            seen.append(stream.cursor, n);
            stream.cursor += n;
            stream.available -= n;
            taken += n;
        }
        seen.append(stream.cursor, stream.available);
        EXPECT_EQ(seen, data);
    });
}

TEST(Fill, FullBufferReadsNothing) {
    temp_dir dir;
    std::string data(pipe_stream::buffer_size + 100, 'x');
    for (std::size_t i = 0; i < data.size(); i += 4093)
        data[i] = char('a' + i % 26);
    write_file(dir.file("data"), data);
    run_coroutine([&](asio::io_context& io, asio::yield_context yield) {
        pipe_stream stream;
        open_stream(stream, io, "cat " + dir.file("data"));
        for (int i = 0; i < 200 && stream.available < pipe_stream::buffer_size; ++i)
            stream.fill(yield);
        ASSERT_EQ(stream.available, pipe_stream::buffer_size);
        stream.fill(yield);
        EXPECT_EQ(stream.available, pipe_stream::buffer_size);
        EXPECT_EQ(unread(stream), data.substr(0, pipe_stream::buffer_size));

        stream.cursor += stream.available;
        stream.available = 0;
        stream.fill(yield);
        EXPECT_EQ(unread(stream), data.substr(pipe_stream::buffer_size));
        EXPECT_EQ(thrown_by([&] { stream.fill(yield); }), "eof");
    });
}

TEST(ReadFastq, CopiesWholeRecordsAndReturnsSequenceLengths) {
    const std::string input = "@r1 first\nACGTA\n+r1\nIIIII\n"
                              "@r2\n\n+\n\n" // lines 2 and 4 may be empty
                              "@r3\nAC\n+\nI\n"; // quality length is not compared
    std::string payload;
    std::vector<std::size_t> lengths;
    EXPECT_EQ(read_all_fastq(printf_command(input), payload, &lengths), "eof");
    EXPECT_EQ(payload, input);
    EXPECT_EQ(lengths, (std::vector<std::size_t>{5, 0, 2}));
}

TEST(ReadFastq, SuffixStandsBeforeTheNameLineFeed) {
    struct example {
        std::string input, expected;
        std::size_t length;
    } examples[] = {
        {"@r1 x\nACGT\n+\nIIII\n@r2\nA\n+\nI\n", "@r1 x #4#\nACGT\n+\nIIII\n@r2\nA\n+\nI\n", 4},
        // A carriage return belongs to the line: the suffix follows it, the length omits it.
        {"@r1\r\nACGT\r\n+\r\nIIII\r\n", "@r1\r #4#\nACGT\r\n+\r\nIIII\r\n", 4},
    };
    for (const example& e : examples) {
        std::string payload;
        std::vector<std::size_t> lengths;
        EXPECT_EQ(read_all_fastq(printf_command(e.input), payload, &lengths, " #4#"), "eof");
        EXPECT_EQ(payload, e.expected);
        ASSERT_FALSE(lengths.empty());
        EXPECT_EQ(lengths[0], e.length);
    }
}

TEST(ReadFastq, RecordSplitOverFillsIsAppendedWhole) {
    // A fill returns after at most two 64 KiB reads, so this record needs several fills.
    const std::string big = "@big\n" + std::string(150000, 'C') + "\n+\n" +
                            std::string(150000, 'J') + "\n";
    const std::string input = "@a\nAC\n+\nII\n" + big + "@z\nG\n+\nI\n";
    temp_dir dir;
    write_file(dir.file("in.fq"), input);
    std::string payload;
    std::vector<std::size_t> lengths;
    EXPECT_EQ(read_all_fastq("cat " + dir.file("in.fq"), payload, &lengths), "eof");
    EXPECT_EQ(payload, input);
    EXPECT_EQ(lengths, (std::vector<std::size_t>{2, 150000, 1}));
}

TEST(ReadFastq, LastRecordLackingOnlyItsLineFeedGetsOne) {
    std::string payload;
    EXPECT_EQ(read_all_fastq(printf_command("@a\nAC\n+\nII\n@b\nG\n+\nI"), payload), "eof");
    EXPECT_EQ(payload, "@a\nAC\n+\nII\n@b\nG\n+\nI\n");
    EXPECT_EQ(read_all_fastq(printf_command("@a\nAC\r\n+\r\nII\r"), payload), "eof");
    EXPECT_EQ(payload, "@a\nAC\r\n+\r\nII\r\n");
}

TEST(ReadFastq, IncompleteFinalRecordIsAnError) {
    const std::string good = "@a\nAC\n+\nII\n";
    for (const std::string tail : {"@b", "@b\n", "@b\nAC", "@b\nAC\n", "@b\nAC\n+", "@b\nAC\n+\n"}) {
        std::string payload;
        EXPECT_EQ(read_all_fastq(printf_command(good + tail), payload),
                  "in.fq: record 2: incomplete record at end of input")
            << tail;
        EXPECT_EQ(payload, good) << tail;
    }
}

TEST(ReadFastq, MalformedRecordIsRejectedBeforeAnythingOfItIsCopied) {
    const std::string good = "@a\nAC\n+\nII\n";
    struct example {
        std::string bad, error;
    } examples[] = {
        {"Xb\nAC\n+\nII\n", "in.fq: record 2: line 1 does not begin with '@'"},
        {"\n@b\nAC\n+\nII\n", "in.fq: record 2: blank line where a record should start"},
        {"@b\nAC\n-\nII\n", "in.fq: record 2: line 3 does not begin with '+'"},
        {"@b\nAC\n\nII\n", "in.fq: record 2: line 3 does not begin with '+'"},
    };
    for (const example& e : examples) {
        std::string payload;
        EXPECT_EQ(read_all_fastq(printf_command(good + e.bad), payload), e.error);
        EXPECT_EQ(payload, good);
    }
}

TEST(ReadFastq, RecordLongerThanTheBufferIsAnErrorNotAHang) {
    // Just over the buffer, so the writer finishes and the stream closes cleanly.
    const std::string input = "@a\nAC\n+\nII\n@long\n" +
                              std::string(pipe_stream::buffer_size, 'A') + "\n+\n\n";
    temp_dir dir;
    write_file(dir.file("in.fq"), input);
    std::string payload;
    EXPECT_EQ(read_all_fastq("cat " + dir.file("in.fq"), payload),
              "in.fq: record 2 is longer than the 4 MiB input buffer");
    EXPECT_EQ(payload, "@a\nAC\n+\nII\n");
}
