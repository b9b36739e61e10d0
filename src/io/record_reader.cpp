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

} // namespace

record_reader::record_reader() : buffer(new char[buffer_size]), cursor(buffer.get()) {}

void record_reader::fill(const asio::yield_context& yield) {
    char* start = buffer.get();
    if (available > 0 && cursor != start) std::memmove(start, cursor, available);
    cursor = start;
    const std::uint64_t room = buffer_size - available;
    if (room == 0) return;
    boost::system::error_code ec;
    const std::size_t got =
        asio::async_read(pipe->descriptor, asio::buffer(start + available, room),
                         transfer_at_least_at_once{std::min(room, read_chunk)}, yield[ec]);
    available += got;
    if (ec && !(ec == asio::error::eof && got > 0)) throw boost::system::system_error(ec);
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
    cursor[available++] = '\n';
    return true;
}

} // namespace shuffler
