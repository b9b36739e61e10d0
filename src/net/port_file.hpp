#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>

namespace shuffler {

// The rendezvous file of a listener whose port is picked at start-up (-l HOST:0 --port-file
// PATH, read by -c @PATH). Its first line is "host:port"; readers ignore any further lines, so
// that later fields (a per-job secret) can follow without breaking older readers. The file has
// mode 0600 from its creation, as such fields will need.

// The address peers should connect to for a listener bound to `local`: the host's name when it
// listens on every interface (0.0.0.0 or [::]), else the bound address ("[...]" for IPv6).
std::string advertised_address(const boost::asio::ip::tcp::endpoint& local);

// Writes "address\n" to PATH atomically: a temporary file beside it, then a rename, so a reader
// sees either no file or the whole line. Throws std::system_error.
void write_port_file(const std::string& path, const std::string& address);

// The first line of PATH, or nothing while the file does not exist or is still empty (a file
// written by hand may appear before its line). Throws std::runtime_error for a file that cannot
// be read or whose first line is not host:port.
std::optional<std::string> read_port_file(const std::string& path);

// Splits "host:port" at its last colon; "[addr]:port" gives addr. False when there is no colon.
bool split_address(const std::string& address, std::string& host, std::string& port);

} // namespace shuffler
