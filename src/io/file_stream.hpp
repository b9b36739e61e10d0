#pragma once

#include "io/byte_ring.hpp"
#include "io/file_pump.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <memory>
#include <string>

namespace shuffler {

// A file moved by a thread of its own (a file_pump), so that a slow disk never holds up the
// loop: through a pipe whose loop end the loop reads or writes, or, for a regular file read
// (and for whatever htslib decodes), straight into a record reader's ring, whose wake-up
// descriptor the loop then waits on.
class file_stream {
public:
    // Starts the thread on `file` (taken over; closed on failure) and assigns `descriptor` the
    // end the loop uses: the ring's wake-up descriptor when the bytes go into `ring`, else the
    // loop's end of the thread's pipe.
    void start(boost::asio::posix::stream_descriptor& descriptor, int file, file_pump::job what,
               const std::string& name, byte_ring* ring);
    // Starts a relay thread that sends `prefix`, then the rest of `fd` (taken over), and returns
    // the end to decode from: for a stream whose first bytes were read to learn its format.
    int start_relay(int fd, std::string prefix);

    // A thread is moving the file.
    bool active() const { return pump_ != nullptr; }
    // The thread writes into `ring`: its reader waits on the ring instead of reading a pipe.
    bool fills(const byte_ring& ring) const { return ring_ == &ring; }
    // The thread has stopped (finish() then returns at once).
    bool done() const { return pump_->done(); }
    // Closes the ring, so that a thread waiting for room in it stops; the pipe's end is the
    // caller's to close.
    void close_ring();
    // Joins the thread (and the relay feeding it); returns its problem ("truncated gzip data:
    // ..."), or "".
    std::string finish();

private:
    std::unique_ptr<file_pump> pump_;  // the thread moving the file's bytes, until joined
    std::unique_ptr<file_pump> relay_; // the thread feeding pump_ (start_relay)
    byte_ring* ring_ = nullptr;        // where pump_ puts them, when not in a pipe
};

// True for a regular file or a device other than a terminal: epoll cannot wait on those (Asio
// then reads and writes them in place, blocking the loop on the disk), so a file_stream moves them.
bool needs_pump(int fd);

} // namespace shuffler
