#pragma once

#include "buffers/sg_buffer_list.hpp"
#include "formats/format_options.hpp"
#include "formats/input_counters.hpp"
#include "formats/intervals.hpp"
#include "groups/group_table.hpp"
#include "io/record_reader.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace shuffler {

// Pool blocks sharding holds before it can send anything: every shard's open message carries
// the whole header (`header_bytes`) after its 8-byte message header, and one block more must be
// left to circulate.
std::uint64_t blocks_before_first_push(std::uint64_t shards, std::uint64_t header_bytes);

// Routes every SAM line from `reader` to its shard's open message in `lists` (header lines to
// all of them), queueing a shard's message when its block is full, and counting each message's
// lines on its first block. Ends by throwing end-of-file (or any error); `lists` then hold their
// open messages. `counters` follow the lines taken. A POS that is not a decimal number from 0 to
// 2^31-1, a header line after the first alignment line, or a header too big for every shard to
// hold in the pool is an error naming the line.
void read_sam(record_reader& reader, const shard_map& shards, std::vector<sg_buffer_list>& lists,
              group_table& groups, input_counters& counters, boost::asio::yield_context yield);

// The shards of SAM input, built from the command line before any input is read.
struct shard_plan {
    shard_map shards;            // contig to intervals, each entry tagged with its shard number
    std::uint32_t max_shard = 0; // the highest shard number: groups 0 to max_shard get messages
};

// True for the -O keys that belong to the shards: 's' followed by a digit.
bool is_shard_key(const std::string& key);

// Builds the shards from the -O s<k>=INTERVALS options; other keys are not looked at. Throws
// std::invalid_argument, with the whole error line, for a shard number that is not a decimal
// from 1 to min(max_groups - 1, 65535), two keys naming one shard ("s01", "s1"), an empty or
// malformed interval list, or no shard at all.
shard_plan parse_shard_options(const option_map& options, std::size_t max_groups);

// Shards SAM text by position: shard k is group k, group 0 takes every line outside the shards,
// and every shard gets the header. Reads the file named first (as open_input reads names), or
// standard input when none is named.
void shard_sam(const std::vector<std::string>& input_files, const shard_plan& plan,
               group_table& groups, input_counters& counters, boost::asio::io_context& io,
               boost::asio::yield_context yield);

} // namespace shuffler
