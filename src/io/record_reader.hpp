#pragma once

#include "io/byte_ring.hpp"
#include "io/endpoint.hpp"

#include "core/coroutine.hpp"
#include "core/run_report.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace shuffler {

// A buffered reader over one endpoint for line-based records. The format readers find
// whole records in the buffer and copy each once into a message; no record may be longer than
// the buffer. A file's thread fills the buffer directly; from a pipe, fill() reads into it.
class record_reader {
  public:
    static constexpr std::uint64_t buffer_size = std::uint64_t(1) << 22; // 4 MiB

    record_reader();
    record_reader(const record_reader&) = delete;
    record_reader& operator=(const record_reader&) = delete;

    // Gives back the bytes before `cursor` and makes more available: at most 1 MiB more at a
    // time, so that the bytes already parsed go back to a file's thread soon; from a pipe, at
    // least 64 KiB more unless the buffer or the input ends first. Throws end-of-file when the
    // input ends before any new byte.
    void fill(const boost::asio::yield_context& yield);

    // fill() without waiting or reading: makes more available only if a file's thread has put
    // more in the buffer; false when nothing new is at hand. Touches only the buffer and this
    // reader, so a thread other than the loop may call it while the loop leaves the reader alone.
    bool take_more();

    // fill() for the record readers: returns true when the input has ended and the last record,
    // which lacked only its final line feed, has been given one; throws end-of-file when nothing
    // is left.
    bool refill(const boost::asio::yield_context& yield);

    // Throws "<name>: <problem>" as a record_error.
    [[noreturn]] void fail(const std::string& problem) const;

    // The buffer first: a file's thread writing into it stops before it is unmapped.
    byte_ring buffer{buffer_size};
    std::unique_ptr<endpoint> pipe;
    char* cursor;                // the first unread byte
    std::uint64_t available = 0; // unread bytes from the cursor on
    std::string name;          // the input's name in error messages
    std::uint64_t records = 0; // records (FASTQ) or lines (SAM) taken so far

  private:
    char* view_ = nullptr; // where the bytes handed out by the last fill() began
    // After fill() found the end of input: gives a last record that lacks only its final line
    // feed that line feed and returns true; returns false when nothing is left.
    bool finish_last_line();
};

// The first line feed in [from, end), or null.
inline const char* find_line_feed(const char* from, const char* end) {
    return static_cast<const char*>(std::memchr(from, '\n', std::size_t(end - from)));
}

} // namespace shuffler
