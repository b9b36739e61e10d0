#pragma once

#include "buffers/sg_buffer_list.hpp"
#include "intervals/interval_list.hpp"
#include "pipes/pipe_descriptor.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace shuffler {

class group_table;

// A buffered reader over one pipe_descriptor. The record readers find whole records in the
// buffer and copy each once into a message; no record may be longer than the buffer.
class pipe_stream {
public:
    static constexpr std::uint64_t buffer_size = std::uint64_t(1) << 22; // 4 MiB

    pipe_stream();
    pipe_stream(const pipe_stream&) = delete;
    pipe_stream& operator=(const pipe_stream&) = delete;

    // Moves the unread bytes to the front and reads at least 64 KiB more (or to the end of the
    // buffer or of the input). Throws end-of-file when the input ends before any new byte.
    void fill(boost::asio::yield_context yield);

    // Appends one FASTQ record to `list` (which holds a block), with `suffix`, when not null,
    // placed at the end of the read name. Returns the sequence length. Throws end-of-file at the
    // end of input, and a runtime error naming the record for malformed input.
    std::size_t read_fastq(sg_buffer_list& list, const char* suffix,
                           boost::asio::yield_context yield);

    // Routes every SAM line to its shard's open message in `lists`, queueing a shard's message
    // when its block is full. Ends by throwing end-of-file (or any error); `lists` then hold
    // their open messages.
    void read_sam(const shard_map& shards, std::vector<sg_buffer_list>& lists,
                  group_table& groups, boost::asio::yield_context yield);

    std::unique_ptr<pipe_descriptor> pipe; // declared first: closed after the buffer is gone
    std::unique_ptr<char[]> buffer;
    char* cursor;
    std::uint64_t available = 0;
    std::string name;            // the input's name in error messages
    std::uint64_t records = 0;   // records (FASTQ) or lines (SAM) taken so far

private:
    // fill() for the record readers: returns true when the input has ended and the last record,
    // which lacked only its final line feed, has been given one; throws end-of-file when nothing
    // is left.
    bool refill(boost::asio::yield_context yield);
    // After fill() found the end of input: gives a last record that lacks only its final line
    // feed that line feed and returns true; returns false when nothing is left.
    bool finish_last_line();
    [[noreturn]] void fail(const std::string& problem) const;
};

} // namespace shuffler
