#pragma once

#include "groups/group_table.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <string>
#include <vector>

namespace shuffler {

// The output side's consumer: writes the payload of every message received for this process's
// group to standard output, or through "cat > FILE" when a file is named.
void run_output(const std::vector<std::string>& input_files, const std::string& format,
                group_table& groups, boost::asio::io_context& io,
                boost::asio::yield_context yield);

} // namespace shuffler
