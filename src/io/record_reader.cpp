#include "io/record_reader.hpp"

#include "core/report.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/read.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstring>

namespace shuffler {

namespace asio = boost::asio;

namespace {

constexpr std::uint64_t read_chunk = 65536;
constexpr std::uint64_t most_per_fill = std::uint64_t(1) << 20;

} // namespace

record_reader::record_reader() : cursor(buffer.unread().first), view_(cursor) {}

bool record_reader::take_more() {
    buffer.release(std::uint64_t(cursor - view_));
    view_ = cursor;
    const auto [start, unread] = buffer.unread();
    if (unread <= available)
        return false;
    view_ = cursor = start;
    available = std::min(unread, available + most_per_fill);
    return true;
}

void record_reader::fill(const asio::yield_context& yield) {
    if (take_more())
        return;
    if (available == buffer.size())
        return; // full: the caller has a record longer than the buffer
    if (pipe->fills(buffer)) {
        buffer.wait_for_more(available, pipe->descriptor, yield);
    } else {
        const auto [room, space] = buffer.room();
        boost::system::error_code ec;
        const std::size_t got = asio::async_read(
            pipe->descriptor, asio::buffer(room, std::min(space, most_per_fill)),
            transfer_at_least_at_once{std::min(space, read_chunk)}, yield[ec]);
        buffer.commit(got);
        if (ec && !(ec == asio::error::eof && got > 0))
            throw boost::system::system_error(ec);
    }
    if (!take_more())
        throw boost::system::system_error(asio::error::eof);
}

void record_reader::fail(const std::string& problem) const {
    throw record_error(name + ": " + problem);
}

bool record_reader::refill(const asio::yield_context& yield) {
    try {
        fill(yield);
        return false;
    } catch (const boost::system::system_error& e) {
        if (!is_end_of_stream(e.code()) || !finish_last_line()) throw;
        return true;
    }
}

bool record_reader::finish_last_line() {
    if (available == 0) return false;
    if (cursor[available - 1] == '\n' || available == buffer_size)
        fail("record " + std::to_string(records + 1) + ": incomplete record at end of input");
    cursor[available++] = '\n'; // in the room after the input's last byte
    buffer.commit(1);
    return true;
}

} // namespace shuffler
