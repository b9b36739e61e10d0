#pragma once

#include "buffers/sg_buffer_list.hpp"
#include "formats/format_options.hpp"
#include "formats/intervals.hpp"
#include "groups/group_table.hpp"
#include "io/record_reader.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <string>
#include <vector>

namespace shuffler {

// Routes every SAM line from `reader` to its shard's open message in `lists` (header lines to
// all of them), queueing a shard's message when its block is full. Ends by throwing end-of-file
// (or any error); `lists` then hold their open messages.
void read_sam(record_reader& reader, const shard_map& shards, std::vector<sg_buffer_list>& lists,
              group_table& groups, boost::asio::yield_context yield);

// Shards SAM text from standard input by position (-O s<k>=intervals): shard k is group k,
// group 0 takes every line outside the shards, and every shard gets the header.
void shard_sam(const std::vector<std::string>& input_files, option_map options, group_table& groups,
               boost::asio::io_context& io, boost::asio::yield_context yield);

} // namespace shuffler
