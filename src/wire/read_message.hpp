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

// Reads one whole framed message from `stream` (a socket or a pipe) into the empty `list`.
// End of stream exactly at a message boundary throws end-of-file (the normal end); ending inside
// a message, a bad header or a length no pool could hold are errors.
template <class Stream>
void read_message(Stream& stream, sg_buffer_list& list, const boost::asio::yield_context& yield) {
    namespace asio = boost::asio;
    boost::system::error_code ec;
    list.reserve(header_size, yield);
    const std::size_t got =
        asio::async_read(stream, list.mutable_buffers(), asio::transfer_exactly(header_size),
                         yield[ec]);
    list.commit(got);
    if (ec == asio::error::eof && got > 0)
        throw std::runtime_error("stream ended inside a message");
    if (ec)
        throw boost::system::system_error(ec);

    const block& first = list.blocks().front();
    const message_header h = load_header(first.data + first.begin);
    if (!header_is_valid(h))
        throw std::runtime_error("Bad message header");
    if (h.length == 0)
        return;
    if (header_size + h.length > list.pool().total_capacity())
        throw std::runtime_error("Message too long: " + std::to_string(h.length) +
                                 " bytes do not fit the pool of " +
                                 std::to_string(list.pool().total_capacity()) +
                                 " bytes; raise --pool_size");

    list.reserve(header_size + h.length, yield);
    const std::size_t body =
        asio::async_read(stream, list.mutable_buffers(), transfer_exactly_at_once{h.length},
                         yield[ec]);
    list.commit(body);
    if (ec == asio::error::eof)
        throw std::runtime_error("stream ended inside a message");
    if (ec)
        throw boost::system::system_error(ec);
}

} // namespace shuffler
