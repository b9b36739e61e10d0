#pragma once

#include "buffers/sg_buffer_list.hpp"
#include "formats/format_options.hpp"
#include "formats/intervals.hpp"
#include "groups/group_table.hpp"
#include "io/record_reader.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace shuffler {

// Pool blocks sharding holds before it can send anything: every shard's open message carries
// the whole header (`header_bytes`) after its 8-byte message header, and one block more must be
// left to circulate.
std::uint64_t blocks_before_first_push(std::uint64_t shards, std::uint64_t header_bytes);

// Routes every SAM line from `reader` to its shard's open message in `lists` (header lines to
// all of them), queueing a shard's message when its block is full. Ends by throwing end-of-file
// (or any error); `lists` then hold their open messages. A POS that is not a decimal number from
// 0 to 2^31-1, a header line after the first alignment line, or a header too big for every
// shard to hold in the pool is an error naming the line.
void read_sam(record_reader& reader, const shard_map& shards, std::vector<sg_buffer_list>& lists,
              group_table& groups, boost::asio::yield_context yield);

// Shards SAM text from standard input by position (-O s<k>=intervals): shard k is group k,
// group 0 takes every line outside the shards, and every shard gets the header.
void shard_sam(const std::vector<std::string>& input_files, option_map options, group_table& groups,
               boost::asio::io_context& io, boost::asio::yield_context yield);

} // namespace shuffler
