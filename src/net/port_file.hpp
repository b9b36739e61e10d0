#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>

namespace shuffler {

// The rendezvous file of a listener whose port is picked at start-up (-l HOST:0 --port-file
// PATH, read by -c @PATH). Its first line is "host:port"; a line "secret=TEXT" may follow, the
// job's secret, and readers ignore any other line, so that later fields can follow without
// breaking older readers. The file has mode 0600 from its creation: only its owner may learn the
// secret.

// The address peers should connect to for a listener bound to `local`: the host's name when it
// listens on every interface (0.0.0.0 or [::]), else the bound address ("[...]" for IPv6).
std::string advertised_address(const boost::asio::ip::tcp::endpoint& local);

// Writes "address\n", and "secret=SECRET\n" when there is one, to PATH atomically: a new private
// file of a random name beside it, then a rename, so a reader sees either no file or all of it.
// Throws std::runtime_error when PATH holds something other than the caller's own regular file,
// std::system_error when writing fails.
void write_port_file(const std::string& path, const std::string& address,
                     const std::string& secret = "");

// Replaces PATH, the same way, by the one line "failed=REASON": the listener's run failed, or its
// command line was refused, and a peer that reads it fails at once with the reason instead of
// waiting for a listener that will not come. Throws as write_port_file.
void write_failed_port_file(const std::string& path, const std::string& reason);

// What a port file tells: where the listener is, and the job's secret when it has one.
struct rendezvous {
    std::string address; // host:port
    std::string secret;   // empty when the listener uses none
    std::string failed;   // the "failed=" line: why the listener failed; address is then ""
};

// The contents of PATH, or nothing while the file does not exist or is still empty (a file with a
// "failed=" line gives that reason, whatever else it holds). Throws as
// read_port_file does, and for a file that is not a regular file, belongs to another user than
// the caller and root, or may be written by group or others: whoever wrote it chooses where the
// job's data goes.
std::optional<rendezvous> read_rendezvous(const std::string& path);

// The first line of PATH, or nothing while the file does not exist or is still empty (a file
// written by hand may appear before its line). Throws std::runtime_error for a file that cannot
// be read or whose first line is not host:port.
std::optional<std::string> read_port_file(const std::string& path);

// Splits "host:port" at its last colon; "[addr]:port" gives addr. False when there is no colon.
bool split_address(const std::string& address, std::string& host, std::string& port);

} // namespace shuffler
