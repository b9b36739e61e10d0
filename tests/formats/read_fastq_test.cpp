#include "formats/fastq.hpp"

#include "buffers/pool_fixture.hpp"
#include "io/reader_fixture.hpp"
#include "wire/message_header.hpp"

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

// Reads every record of `input` with read_fastq into one message, as the dicer does, the first
// with `suffix`, until the reader throws. Returns what it threw; `payload` gets the bytes after
// the header and `lengths` the sequence lengths returned.
std::string read_all_fastq(const std::string& input, std::string& payload,
                           std::vector<std::size_t>& lengths, const char* suffix = nullptr) {
    std::string outcome;
    const temp_dir dir;
    run_in_coroutine([&](asio::io_context& io, const asio::yield_context& yield) {
        record_reader stream;
        open_stream(stream, io, dir, input, "in.fq");
        block_chain list(test_pool());
        open_message(list, 0, yield);
        outcome = thrown_by([&] {
            for (const char* s = suffix;; s = nullptr)
                lengths.push_back(read_fastq(stream, list, s, yield).bases);
        });
        payload = contents(list).substr(header_size);
    });
    return outcome;
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
        // Lines 2 and 4 may be empty, together.
        {"@r1 first\nACGTA\n+r1\nIIIII\n@r2\n\n+\n\n@r3\nAC\n+\nII\n", nullptr, "", {5, 0, 2}},
        {"@r1 x\nACGT\n+\nIIII\n@r2\nA\n+\nI\n",
         " #4#",
         "@r1 x #4#\nACGT\n+\nIIII\n@r2\nA\n+\nI\n",
         {4, 1}},
        // A carriage return ends the line, not the name: the suffix goes before it, and lengths
        // omit it (here only the quality line has one).
        {"@r1\r\nACGT\n+\r\nIIII\r\n", " #4#", "@r1 #4#\r\nACGT\n+\r\nIIII\r\n", {4}},
        {"@\r\r\nA\n+\nI\n", " #6#", "@ #6#\r\r\nA\n+\nI\n", {1}},
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
        // Sequence and quality must pair up base for base, carriage returns aside.
        {"@b\nACG\n+\nII\n", "record 2: 3 bases but 2 quality values"},
        {"@b\nAC\r\n+\r\nIII\r\n", "record 2: 2 bases but 3 quality values"},
        {"@b\n\n+\nI\n", "record 2: 0 bases but 1 quality values"},
        // Just over the buffer, so the writer finishes and the stream closes cleanly.
        {"@long\n" + std::string(record_reader::buffer_size, 'A') + "\n+\n\n",
         "record 2 is longer than the 4 MiB input buffer"},
    };
    for (const auto& [bad, error] : cases) {
        std::string payload;
        std::vector<std::size_t> lengths;
        EXPECT_EQ(read_all_fastq(good + bad, payload, lengths), "in.fq: " + error);
        EXPECT_EQ(payload, good);
    }
}

TEST(BlockTag, CountsRecordsInSixtyFourBits) {
    EXPECT_EQ(block_tag(0).view(), " #0#");
    // Past 2^31 records, which a deep whole-genome run reaches.
    EXPECT_EQ(block_tag(std::uint64_t(1) << 31).view(), " #2147483648#");
    EXPECT_EQ(block_tag(UINT64_MAX - 1).view(), " #18446744073709551614#");
}

} // namespace
