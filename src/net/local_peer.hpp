#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <sys/types.h>

namespace shuffler {

// Who is at the other end of a loopback connection. On one machine, every user can reach every
// loopback port; the kernel tells each TCP socket's owner through its socket diagnostics
// (NETLINK_SOCK_DIAG, one exact lookup), and lists them all in /proc/net/tcp and /proc/net/tcp6,
// which are read where that lookup cannot be made.

// True for 127.0.0.0/8, ::1, and ::ffff:127.x.y.z.
bool is_loopback(const boost::asio::ip::address& address);

// The uid owning the TCP socket whose own end is `own` and whose other end is `other`: for a
// connection we hold, the other end's socket is the one with own = our remote endpoint, other =
// our local endpoint. Nothing when no such socket is listed (it has gone), or only as a closed
// socket waiting out TIME_WAIT, which the kernel lists as root's. Throws
// std::runtime_error when the lists cannot be read.
std::optional<uid_t> socket_owner(const boost::asio::ip::tcp::endpoint& own,
                                  const boost::asio::ip::tcp::endpoint& other);

} // namespace shuffler
