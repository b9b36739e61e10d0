#pragma once

#include "groups/group_table.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <memory>

namespace shuffler {

// What every session of a process shares. Lives for the whole run.
struct session_config {
    std::int32_t
        groupid;         // negative: the input side, which serves groups; else the group to receive
    group_table& groups; // the process's groups (on the output side, group 0 holds what arrives)
};

// Starts one peer session on the connected `socket`, which it takes over (the caller's socket is
// left closed, ready for the next connect or accept). The input side serves the group the peer
// asks for; the output side asks for its group and receives it.
void start_session(boost::asio::ip::tcp::socket& socket, const session_config& config,
                   boost::posix_time::ptime run_deadline);

// Input side: reads the peer's handshake, claims its group, then sends that group's messages.
// A peer that names no group by the run deadline (and at least a grace period after it
// connected) is dropped with an error, so it cannot keep the run alive for ever.
void serve_group(const std::shared_ptr<boost::asio::ip::tcp::socket>& socket, group_table& groups,
                 boost::posix_time::ptime run_deadline, boost::asio::yield_context yield);

// Output side: sends the handshake for `groupid`, then queues every received message in group 0.
void receive_group(boost::asio::ip::tcp::socket& socket, std::int32_t groupid, group_table& groups,
                   boost::asio::yield_context yield);

} // namespace shuffler
