#pragma once

#include "net/peer_stream.hpp"

namespace shuffler {

// The input side's session with one worker: reads its handshake, then sends the group it asked
// for, at most send_window messages unacknowledged, then the end mark, and waits for the final
// acknowledgement. A worker that fails gives its unacknowledged messages back to the group.
void serve_group(const std::shared_ptr<tcp::socket>& stream, session_config& config,
                 starting_session& starting, const asio::yield_context& yield);
void serve_group(const std::shared_ptr<tls_socket>& stream, session_config& config,
                 starting_session& starting, const asio::yield_context& yield);

} // namespace shuffler
