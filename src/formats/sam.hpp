#pragma once

#include "buffers/block_chain.hpp"
#include "formats/input_counters.hpp"
#include "formats/shard_plan.hpp"
#include "groups/group_table.hpp"
#include "io/record_reader.hpp"

#include <boost/asio/io_context.hpp>
#include "core/coroutine.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace shuffler {

// Routes every SAM line from `reader` to its shard's open message in `lists`, and the header
// lines to the groups' session preamble (marked known once the header ends), queueing a shard's
// message when its block is full. At the end of the header checks it and builds the routes
// (plan_routes); with padding, also copies each alignment to the other shards it reaches. Ends
// by throwing end-of-file (or any error); `lists` then hold their open messages. A POS that is
// not a decimal number from 0 to 2^31-1, or a header line after the first alignment line, is an
// error naming the line. Each message's first block counts its lines, and `counters` the lines
// taken.
void read_sam(record_reader& reader, const shard_plan& plan, std::vector<block_chain>& lists,
              group_table& groups, input_counters& counters,
              const boost::asio::yield_context& yield);

// The bases of the reference that a CIGAR covers: the lengths of its M, D, N, = and X
// operations; 0 for "*". False for a malformed CIGAR.
bool cigar_reference_length(std::string_view cigar, std::uint64_t& length);

// Shards SAM text by position: shard k is group k, group 0 takes every line outside the shards,
// and every shard gets the header. Reads the file named first (as open_input reads names), or
// standard input when none is named; with `decode`, SAM, BAM or CRAM decoded by htslib.
void shard_sam(const std::vector<std::string>& input_files, const shard_plan& plan,
               bool decode, group_table& groups, input_counters& counters, boost::asio::io_context& io,
               const boost::asio::yield_context& yield);

} // namespace shuffler
