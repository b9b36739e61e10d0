#pragma once

#include "buffers/buffer_pool.hpp"
#include "wire/message_header.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/system/system_error.hpp>

#include <stdexcept>
#include <string>

namespace shuffler {

// A stream that ended inside a message, so that a connection can say it was cut short.
struct truncated_message : std::runtime_error {
    truncated_message() : std::runtime_error("stream ended inside a message") {}
};

// Reads the header of the next framed message from `stream` (a socket or a pipe) into the empty
// `list` and returns the length of its payload. End of stream before it throws end-of-file (the
// normal end); ending inside it, a bad header or a length no pool could hold are errors.
template <class Stream>
std::uint64_t read_header(Stream& stream, block_chain& list,
                          const boost::asio::yield_context& yield) {
    namespace asio = boost::asio;
    boost::system::error_code ec;
    list.reserve(header_size, yield);
    const std::size_t got =
        asio::async_read(stream, list.mutable_buffers(), asio::transfer_exactly(header_size),
                         yield[ec]);
    list.commit(got);
    if (ec == asio::error::eof && got > 0)
        throw truncated_message();
    if (ec)
        throw boost::system::system_error(ec);

    const block& first = list.blocks().front();
    const message_header h = load_header(first.data + first.begin);
    if (!header_is_valid(h))
        throw std::runtime_error("Bad message header");
    if (header_size + h.length > list.pool().total_capacity())
        throw std::runtime_error("Message too long: " + std::to_string(h.length) +
                                 " bytes do not fit the pool of " +
                                 std::to_string(list.pool().total_capacity()) +
                                 " bytes; raise --pool_size");
    return h.length;
}

// Reads the next `length` bytes of a message from `stream` onto the end of `list`.
template <class Stream>
void read_payload(Stream& stream, block_chain& list, std::uint64_t length,
                  const boost::asio::yield_context& yield) {
    namespace asio = boost::asio;
    if (length == 0)
        return;
    boost::system::error_code ec;
    list.reserve(list.size() + length, yield);
    const std::size_t body = asio::async_read(stream, list.mutable_buffers(),
                                              transfer_exactly_at_once{length}, yield[ec]);
    list.commit(body);
    if (ec == asio::error::eof)
        throw truncated_message();
    if (ec)
        throw boost::system::system_error(ec);
}

// Reads one whole framed message from `stream` into the empty `list`, as the two above.
template <class Stream>
void read_message(Stream& stream, block_chain& list, const boost::asio::yield_context& yield) {
    read_payload(stream, list, read_header(stream, list, yield), yield);
}

} // namespace shuffler
