#pragma once

#include "buffers/sg_buffer_list.hpp"
#include "formats/format_options.hpp"
#include "formats/input_counters.hpp"
#include "groups/group_table.hpp"
#include "io/record_reader.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace shuffler {

// The tag that ends the read name of a block's first record of each file: " #N#", N being the
// number of records (counted over all files) before the block.
std::string block_tag(std::uint64_t first_record);

// Appends one FASTQ record from `reader` to `list` (which holds a block), with `suffix`, when
// not null, placed at the end of the read name (before a carriage return). Returns the sequence
// length. Throws end-of-file at the end of input, and a runtime error naming the record for
// malformed input, including a quality line whose length differs from the sequence's.
std::size_t read_fastq(record_reader& reader, sg_buffer_list& list, const char* suffix,
                       const boost::asio::yield_context& yield);

// The block threshold in bases when -O blksize is not given: about 1.5 MiB of paired 150-base
// reads, one pool block per message, so that a default pool keeps every worker of a large job
// busy with two messages each.
constexpr std::int32_t default_blksize = 1000000;

// The -O blksize value (bases of sequence per block), or the default when it is absent. Throws
// std::invalid_argument, with the whole error line, for anything but a decimal from 1 to 2^31 - 1.
std::int32_t parse_blksize(const option_map& options);

// Cuts FASTQ input (one file, paired files in lockstep, or standard input; names as open_input
// reads them) into blocks of whole records, each one message of group 0. A block closes once it
// holds `blksize` bases, at an even record count. `counters` follow the blocks queued.
void dice_fastq(const std::vector<std::string>& input_files, std::int32_t blksize,
                group_table& groups, input_counters& counters, boost::asio::io_context& io,
                const boost::asio::yield_context& yield);

} // namespace shuffler
