#include "io/record_reader.hpp"

#include "buffers/pool_fixture.hpp"
#include "io/reader_fixture.hpp"

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

TEST(Fill, ReadsAtLeastAChunkUntilTheBufferIsFullAndKeepsUnreadBytesAcrossTheWrap) {
    std::string data(record_reader::buffer_size + 100, 'x');
    for (std::size_t i = 0; i < data.size(); i += 4093)
        data[i] = char('a' + i % 26);
    const temp_dir dir;
    run_in_coroutine([&](asio::io_context& io, const asio::yield_context& yield) {
        record_reader stream;
        open_stream(stream, io, dir, data);
        for (int i = 0; i < 200 && stream.available < record_reader::buffer_size; ++i) {
            const std::uint64_t before = stream.available;
            stream.fill(yield);
            // A fill stops early only at the end of the input or of the buffer.
            EXPECT_GE(stream.available - before,
                      std::min<std::uint64_t>(65536, record_reader::buffer_size - before));
        }
        ASSERT_EQ(stream.available, record_reader::buffer_size);
        stream.fill(yield); // a full buffer reads nothing
        EXPECT_EQ(unread(stream), data.substr(0, record_reader::buffer_size));

        // All but 10 bytes handed out: the last 100 bytes follow those 10, contiguous though
        // the ring wraps around, without an end-of-input error.
        stream.cursor += stream.available - 10;
        stream.available = 10;
        stream.fill(yield);
        EXPECT_EQ(unread(stream), data.substr(record_reader::buffer_size - 10));

        // Nothing new: end of input even though bytes are still unread, which stay.
        stream.cursor += 4;
        stream.available -= 4;
        EXPECT_EQ(thrown_by([&] { stream.fill(yield); }), "eof");
        EXPECT_EQ(unread(stream), data.substr(record_reader::buffer_size - 6));
    });
}

} // namespace
