#pragma once

#include "formats/input_counters.hpp"
#include "groups/group_table.hpp"
#include "io/endpoint.hpp"

#include <boost/asio/io_context.hpp>
#include "core/coroutine.hpp"

#include <string>
#include <vector>

namespace shuffler {

// Pushes every framed message read from `pipe` to the group named in its header. Errors are
// reported under `subject`, the name of the input.
void route_messages(endpoint& pipe, const std::string& subject, group_table& groups,
                    input_counters& counters, const boost::asio::yield_context& yield);

// Opens a stored message stream (the file named first, or standard input), decompressing it
// when `gzip`, and routes its messages to their groups.
void read_message_stream(const std::vector<std::string>& input_files, bool gzip,
                         group_table& groups, input_counters& counters, boost::asio::io_context& io,
                         const boost::asio::yield_context& yield);

} // namespace shuffler
