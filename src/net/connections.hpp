#pragma once

#include "net/session.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include "core/coroutine.hpp"

#include <string>

namespace shuffler {

// Resolves "host:port" or "[v6 address]:port" (an empty host means localhost), giving up at the
// run timer's expiry. An address without a port, or whose port is not a decimal from 1 (0 when
// `listening`) to 65535, is refused.
boost::asio::ip::tcp::resolver::results_type
resolve_address(const std::string& address, boost::asio::steady_timer& run_timer,
                const boost::asio::yield_context& yield, bool listening = true);

// Connects to `address`, retrying while the peer refuses (soon at first, then every second) until
// the run deadline, which also bounds each attempt; then runs a peer session on the connection.
// "@PATH" reads the address from the port file PATH, waiting for it until the deadline and
// reading it again while the peer refuses. The connection uses TLS with config.tls; without it
// (and without config.insecure), with the secret the port file holds, if any. Errors are reported
// under the address, or under PATH while the file gives none.
void connect_peer(const std::string& address, session_config& config,
                  boost::asio::steady_timer& run_timer, const boost::asio::yield_context& yield);

// Listens on `address` and starts a peer session for every connection accepted until the run
// timer expires or is cancelled. With a `port_file`, writes the address peers can reach to it
// once listening (the port the system picked for port 0), with `port_file_secret` when not
// empty, and removes it when accepting ends. Every connection uses TLS with config.tls when set.
// Errors are reported under `address`, or the port file's path.
void accept_peers(const std::string& address, const std::string& port_file,
                  const std::string& port_file_secret, session_config& config,
                  boost::asio::steady_timer& run_timer, const boost::asio::yield_context& yield);

} // namespace shuffler
