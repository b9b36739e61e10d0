#pragma once

#include "buffers/block_chain.hpp"
#include "formats/format_options.hpp"
#include "formats/input_counters.hpp"
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

// Which records carry a " #N#" tag at the end of their read name (-O tag=).
enum class block_tags {
    name,  // a block's first record of each file; N: records (over all files) before the block
    none,  // no record: the input order cannot be rebuilt from the outputs
    every, // every record; N: its pass's first record (over all files), rounded down to even,
           // so mates share it and the order survives a filter that drops records
};

// How FASTQ input is diced: the -O keys blksize, tag and check_pairs.
struct fastq_plan {
    // Bases of sequence per block. The default is about 1.5 MiB of paired 150-base reads, one
    // pool block per message, so that a default pool keeps every worker of a large job busy with
    // two messages each.
    std::int32_t blksize = 1000000;
    block_tags tags = block_tags::name;
    bool check_pairs = true; // mates of paired files must share their name's first word
};

// True for the -O keys that FASTQ input reads.
bool is_fastq_key(const std::string& key);

// The plan the -O keys ask for. Throws std::invalid_argument, with the whole error line, for a
// value that is not one of the key's.
fastq_plan parse_fastq_options(const option_map& options);

// A tag " #N#", held in place: tagging every record allocates nothing.
struct tag_text {
    char text[24]; // room for 20 digits and the terminating null
    std::size_t size;
    std::string_view view() const { return {text, size}; }
};

// The tag " #N#" for the record number `n`.
tag_text block_tag(std::uint64_t n);

// One record that read_fastq appended: its sequence length and its name's first word (after the
// '@', before any blank, without a trailing "/1" or "/2"). The name points into the reader's
// buffer and holds until the reader is filled again.
struct fastq_record {
    std::size_t bases;
    const char* name;
    std::size_t name_length;
    // Which mate the name says it is: '1' or '2' from a "/1" or "/2" ending its first word, or
    // from a comment in the form "1:N:0:..."; 0 when it says neither.
    char mate;
};

// Appends one FASTQ record from `reader` to `list` (which holds a block), with `suffix`, when
// not null, placed at the end of the read name (before a carriage return). Throws end-of-file at
// the end of input, and a record_error naming the record for malformed input, including a
// quality line whose length differs from the sequence's.
fastq_record read_fastq(record_reader& reader, block_chain& list, const char* suffix,
                        const boost::asio::yield_context& yield);

// Cuts FASTQ input (one file, paired files in lockstep, or standard input; names as open_input
// reads them) into blocks of whole records, each one message of group 0. A block closes once it
// holds `plan.blksize` bases, at an even record count. `counters` follow the blocks queued.
void dice_fastq(const std::vector<std::string>& input_files, const fastq_plan& plan,
                group_table& groups, input_counters& counters, boost::asio::io_context& io,
                const boost::asio::yield_context& yield);

} // namespace shuffler
