#pragma once

#include "buffers/sg_buffer_list.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <memory>

namespace shuffler {

class pipe_descriptor;

// Starts one peer session on the connected `socket`, which it takes over (the caller's socket is
// left closed, ready for the next connect or accept). The input side (groupid < 0) serves the
// group the peer asks for; the output side asks for `groupid` and receives it.
void shuffle(boost::asio::ip::tcp::socket& socket, int groupid,
             boost::posix_time::ptime run_deadline);

// Input side: reads the peer's handshake, claims its group, then sends that group's messages.
// A peer that names no group by the run deadline (and at least a grace period after it
// connected) is dropped with an error, so it cannot keep the run alive for ever.
void serve_group(const std::shared_ptr<boost::asio::ip::tcp::socket>& socket,
                 boost::posix_time::ptime run_deadline, boost::asio::yield_context yield);

// Output side: sends the handshake for `groupid`, then queues every received message in group 0.
void receive_group(boost::asio::ip::tcp::socket& socket, int groupid,
                   boost::asio::yield_context yield);

// Input side: pushes every framed message of a stored stream to the group named in its header.
void route_messages(pipe_descriptor& pipe, boost::asio::yield_context yield);

} // namespace shuffler
