#pragma once

#include <boost/asio/posix/stream_descriptor.hpp>

namespace shuffler {

// Standard input or output as the loop uses it, directly: a pipe is widened, and the stream's
// file status flags are put back when it is closed, so that the next program sharing it does not
// find it non-blocking.
class std_stream {
public:
    // Takes note of `fd` (0 or 1) and its flags, and widens it if it is a pipe.
    void wrap(int fd);
    // The stream wrapped: 0 or 1, or -1 for none.
    int fd() const { return fd_; }
    // "stdin" or "stdout".
    const char* name() const { return fd_ == 0 ? "stdin" : "stdout"; }
    // Closes `descriptor`, which holds the stream itself, with the stream's flags put back.
    void close(boost::asio::posix::stream_descriptor& descriptor) const;

private:
    int fd_ = -1;    // 0 or 1 once wrapped
    int flags_ = -1; // its file status flags before it was wrapped
};

} // namespace shuffler
