#include "driver/input_driver.hpp"

#include "buffers/buffer_pool.hpp"
#include "driver/report.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "pipes/pipe_stream.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <stdexcept>

namespace shuffler {

namespace {

constexpr std::int32_t default_blksize = 10000000;

// The shell command that yields a file's FASTQ text.
std::string input_command(const std::string& name) {
    if (!name.empty() && name.back() == '|')
        return name.substr(0, name.size() - 1);
    if (boost::algorithm::ends_with(name, ".gz"))
        return "gzip -dc " + shell_quote(name);
    return "cat " + shell_quote(name);
}

// The -O blksize value: a positive decimal that fits 32 bits, or 0 when it is not one.
std::int32_t parse_blksize(const option_map& options) {
    const auto it = options.find("blksize");
    if (it == options.end())
        return default_blksize;
    const char* text = it->second.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value <= 0 || value > INT32_MAX)
        return 0;
    return std::int32_t(value);
}

// True when the stream has no record left.
bool at_end_of_input(pipe_stream& stream, boost::asio::yield_context yield) {
    if (stream.available > 0)
        return false;
    try {
        stream.fill(yield);
    } catch (const boost::system::system_error& e) {
        if (e.code().value() == end_of_file_value)
            return true;
        throw;
    }
    return stream.available == 0;
}

// Paired files must hold the same number of records; `ended` is the stream that ran out first.
void check_paired_end(std::deque<pipe_stream>& streams, std::size_t ended,
                      boost::asio::yield_context yield) {
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (i == ended)
            continue;
        if (i < ended || !at_end_of_input(streams[i], yield))
            throw std::runtime_error("input files hold different numbers of records: " +
                                     streams[ended].name + " ended after " +
                                     std::to_string(streams[ended].records) + " records, " +
                                     streams[i].name + " has more");
    }
}

void push_block(sg_buffer_list& block) {
    close_message(block);
    push_message(the_group_table[0], block);
}

} // namespace

void dice_fastq(const std::vector<std::string>& input_files, option_map options,
                boost::asio::io_context& io, boost::asio::yield_context yield) {
    const std::int32_t blksize = parse_blksize(options);
    if (blksize == 0) {
        report_failure(io, "dice_fastq", "blksize must be a positive number, not '" +
                                             options["blksize"] + "'");
        return;
    }
    std::deque<pipe_stream> streams; // a deque: streams never move once opened
    try {
        if (the_group_table.size() == 0)
            throw std::runtime_error("Group id exceeds maximum");
        if (input_files.empty()) {
            pipe_stream& s = streams.emplace_back();
            s.pipe = std::make_unique<pipe_descriptor>(io);
            s.pipe->open_stdio(0);
            s.name = "stdin";
        }
        for (const std::string& name : input_files) {
            pipe_stream& s = streams.emplace_back();
            s.pipe = std::make_unique<pipe_descriptor>(io);
            s.pipe->open_command(input_command(name), "r");
            s.name = name;
        }

        const std::uint64_t threshold = std::uint64_t(std::int64_t(blksize));
        // A block must stay well inside the pool (or it waits for ever for blocks that only its
        // own sending could free) and inside the header's 32-bit length, whatever blksize says.
        const std::uint64_t block_cap =
            std::min<std::uint64_t>(the_buffer_pool.total_capacity() / 2, std::uint64_t(1) << 31);
        std::int32_t record_number = 0;
        sg_buffer_list block;
        for (;;) {
            open_message(block, 0, yield);
            char tag[32];
            std::snprintf(tag, sizeof tag, " #%d#", record_number);
            std::uint64_t bases = 0;
            std::size_t file = 0;
            try {
                // A block ends only after a whole pass and at an even record number, so mates
                // (paired files, or interleaved pairs in one file) stay together.
                for (bool first_pass = true;
                     (bases < threshold &&
                      block.block_count() * sg_buffer::block_size < block_cap) ||
                     (record_number & 1);
                     first_pass = false) {
                    for (file = 0; file < streams.size(); ++file)
                        bases += streams[file].read_fastq(block, first_pass ? tag : nullptr, yield);
                    record_number += std::int32_t(streams.size());
                }
            } catch (const boost::system::system_error& e) {
                if (e.code().value() != end_of_file_value)
                    throw;
                push_block(block);
                check_paired_end(streams, file, yield);
                break;
            }
            push_block(block);
        }
    } catch (const std::exception&) {
        // Report before closing the inputs: a child cut off mid-stream adds its own status line.
        report_current_exception(io, "dice_fastq");
    }
}

} // namespace shuffler
