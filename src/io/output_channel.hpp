#pragma once

#include "buffers/block_chain.hpp"
#include "buffers/wait_queue.hpp"
#include "core/coroutine.hpp"
#include "io/pipe_stage.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace shuffler {

// A worker's way out: the output every session of the worker writes to, the room a pipe has left,
// and the payloads that reach it, spliced from the socket through a pipe_stage or written from
// blocks.

// The output side's destination, shared by all of its sessions. One payload is written at a
// time, so messages from different connections never interleave.
struct output_channel {
    output_channel(boost::asio::posix::stream_descriptor& descriptor, std::string label)
        : descriptor(descriptor), label(std::move(label)),
          capacity(pipe_capacity(descriptor.native_handle())) {}

    boost::asio::posix::stream_descriptor& descriptor;
    std::string label; // subject of write errors
    // A pipe's size, 0 for any other output. Payloads are spliced into a pipe (see pipe_stage),
    // never beyond this many bytes in it, so a worker whose consumer stalls holds no more.
    std::uint64_t capacity;
    // When a write finds the pipe broken: why the other end stopped taking bytes (a file's
    // writer that failed, as with a full disk), or "" when a reader simply left.
    std::function<std::string(boost::asio::yield_context)> why_closed;
    // When set, run before the end of data is acknowledged: closes the output and makes it
    // durable under its name, so that the input side counts it delivered only then. Returns
    // what failed, or "".
    std::function<std::string(boost::asio::yield_context)> finish;
    bool busy = false; // a session is writing
    wait_queue turn;   // sessions waiting to write
};

// A message as a worker holds it: its header and payload in pool blocks, except that the first
// stage.size() bytes of the payload may wait in pipes (see receive_message in net/receive.cpp).
struct received_message {
    explicit received_message(buffer_pool& pool) : list(pool) {}

    std::uint64_t size() const { return list.size() + stage.size(); }

    block_chain list;
    pipe_stage stage{4}; // 256 KiB to 2 MiB: the rest of a longer message uses blocks
};

// Writes one message's payload (the message without its header) to the output, whole, taking
// the output's turn so that payloads of different sessions never interleave. False when the
// session must end: cancelled, or the output failed and that is reported.
bool write_payload(output_channel& out, received_message& payload, std::uint64_t& written,
                   boost::asio::io_context& io, const boost::asio::yield_context& yield);

} // namespace shuffler
