#pragma once

#include "buffers/block_chain.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace shuffler {

// Where one spilled message lies in the spill file, and what it must read back as.
struct spill_extent {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;  // header and payload
    std::uint32_t crc = 0;   // CRC-32C of those bytes, known once the write is done
};

// An unnamed file that takes whole messages out of the pool and gives them back. One thread
// does the writes and reads so that the event loop never waits for the disk; completions come
// back to the loop through the io_context. Everything but that thread's system calls happens on
// the loop thread, and a message's blocks belong to its request until its completion runs.
class spill_store {
public:
    // The error text of a failed request; empty when it succeeded.
    using write_done = std::function<void(const std::string& error, std::uint32_t crc)>;
    using read_done = std::function<void(const std::string& error, block_chain& list)>;

    // Opens the file in `dir` (unlinked at once, so no exit leaves it behind) and allows at most
    // `cap` bytes of spilled messages in it at a time. Throws runtime_error "DIR: ..." when the
    // file cannot be made.
    spill_store(boost::asio::io_context& io, const std::string& dir, std::uint64_t cap);
    spill_store(const spill_store&) = delete;
    spill_store& operator=(const spill_store&) = delete;
    // Stops the thread after its current request; requests not done are dropped with their
    // blocks. Call it while the pool still exists, with the loop stopped.
    ~spill_store();

    // Subject of error lines: the file has no name of its own.
    const std::string& label() const { return label_; }
    std::uint64_t cap() const { return cap_; }
    // Bytes of messages written or being written and not yet read back.
    std::uint64_t used() const { return used_; }
    bool fits(std::uint64_t bytes) const { return (no_holes_ ? end_ : used_) + bytes <= cap_; }
    std::uint64_t bytes_written() const { return written_; }
    std::uint64_t bytes_read() const { return read_; }
    // Time the thread spent in writes and in reads (checksums included).
    double write_seconds() const { return write_seconds_; }
    double read_seconds() const { return read_seconds_; }

    // Writes the filled bytes of `list` (taken over, blocks released once written) at a new
    // place and returns it; `done` gets the CRC, which read() checks. The caller checks fits().
    spill_extent write(block_chain list, write_done done);

    // Reads `extent` back into `list`, which must be empty blocks enough for it, checks the
    // header and the CRC, frees the place in the file, and gives `done` the filled list.
    void read(const spill_extent& extent, block_chain list, read_done done);

private:
    struct request;
    void run();
    void free_place(const spill_extent& e); // the thread, after a read
    void submit(std::shared_ptr<request> r);

    boost::asio::io_context& io_;
    std::string label_;
    int fd_ = -1;
    std::uint64_t cap_;
    std::uint64_t used_ = 0;
    std::uint64_t end_ = 0; // the file grows at its end; read-back parts become holes
    std::atomic<bool> no_holes_{false}; // punching a hole failed: freed parts keep their bytes
    std::uint64_t written_ = 0, read_ = 0;
    double write_seconds_ = 0, read_seconds_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<request>> queue_; // guarded by mutex_
    bool stopping_ = false;                      // guarded by mutex_
    std::thread thread_;
};

// Free bytes on the file system holding `dir`, or 0 when that is unknown.
std::uint64_t free_space(const std::string& dir);

} // namespace shuffler
