#pragma once

#include "app/options.hpp"
#include "formats/input_counters.hpp"
#include "groups/group_table.hpp"

#include <boost/asio/io_context.hpp>
#include "core/coroutine.hpp"

#include <string>
#include <vector>

namespace shuffler {

// The input side's producer: opens the input in the format that parse_command_line settled and
// turns it into group messages, with the routine's settings checked there.
void run_input(const run_config& config, group_table& groups, input_counters& counters,
               boost::asio::io_context& io, const boost::asio::yield_context& yield);

// Gives htslib the command line's settings (--threads, --compression-level, the CRAM
// reference) and silences its log lines.
void configure_hts(const run_config& config);

// The format one or two file names imply: two files are a FASTQ pair; "*.fq", "*.fastq" (also
// with ".gz") are FASTQ, "*.sam" (also ".sam.gz") is SAM, any other "*.gz" is a gzip'd message
// stream, "*.bam" and "*.cram" are BAM and CRAM, and anything else (or no file) is a message
// stream.
data_format detect_input_format(const std::vector<std::string>& input_files);

} // namespace shuffler
