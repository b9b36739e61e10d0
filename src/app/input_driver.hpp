#pragma once

#include "formats/format_options.hpp"
#include "groups/group_table.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <string>
#include <vector>

namespace shuffler {

// The input side's producer: settles the format ("message", "gzip", "fastq" or "sam"; detected
// from the file names when `format` is empty), opens the input and turns it into group messages.
void run_input(const std::vector<std::string>& input_files, const std::string& format,
               const option_map& options, group_table& groups, boost::asio::io_context& io,
               boost::asio::yield_context yield);

// The format the file names imply, or an empty string after "Too many input files".
std::string detect_input_format(const std::vector<std::string>& input_files);

} // namespace shuffler
