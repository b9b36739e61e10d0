#pragma once

#include "net/peer_stream.hpp"

namespace shuffler {

// A worker's session with one input side: sends the handshake for config.groupid, then writes
// every payload that comes to the output (config.output) and acknowledges it. `accepted`: the
// connection came to our listener, where a connection that brings nothing is only a stray.
void receive_group(const std::shared_ptr<tcp::socket>& stream, session_config& config,
                   bool accepted, starting_session& starting, const asio::yield_context& yield);
void receive_group(const std::shared_ptr<tls_socket>& stream, session_config& config,
                   bool accepted, starting_session& starting, const asio::yield_context& yield);

} // namespace shuffler
