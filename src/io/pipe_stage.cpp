#include "io/pipe_stage.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shuffler {

namespace {

constexpr unsigned splice_flags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

// What poll() says of the pipe `fd` to a writer, now.
short writer_events(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 ? p.revents : 0;
}

} // namespace

pipe_stage::pipe_stage(pipe_stage&& other) noexcept { *this = std::move(other); }

pipe_stage& pipe_stage::operator=(pipe_stage&& other) noexcept {
    if (this != &other) {
        clear();
        max_pipes_ = other.max_pipes_;
        pipes_ = std::move(other.pipes_);
        drained_ = other.drained_;
        held_ = other.held_;
        full_ = other.full_;
        other.pipes_.clear();
        other.drained_ = 0;
        other.held_ = 0;
        other.full_ = false;
    }
    return *this;
}

ssize_t pipe_stage::fill_from(int fd, std::uint64_t want) {
    for (;;) {
        if (!full_ && pipes_.empty() && !add_pipe())
            full_ = true;
        if (full_) {
            errno = EAGAIN;
            return -1;
        }
        pipe_ends& last = pipes_.back();
        const ssize_t n = ::splice(fd, nullptr, last.write, nullptr, want, splice_flags);
        if (n > 0) {
            last.held += std::uint64_t(n);
            held_ += std::uint64_t(n);
        }
        if (n >= 0 || errno != EAGAIN)
            return n;
        // Nothing moved: either the socket has nothing now, or the pipe is full. Only the pipe
        // tells which without a race, as bytes may reach the socket at any moment.
        if (pipe_has_free_slot(last.write)) {
            errno = EAGAIN;
            return -1;
        }
        if (pipes_.size() >= max_pipes_ || !add_pipe())
            full_ = true; // out of pipes or descriptors: the rest goes through pool blocks
    }
}

bool pipe_stage::add_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    pipes_.push_back({ends[0], ends[1], 0});
    return true;
}

ssize_t pipe_stage::drain_to(int fd, std::uint64_t want) {
    while (drained_ < pipes_.size() && pipes_[drained_].held == 0)
        ++drained_;
    if (drained_ == pipes_.size() || want == 0)
        return 0;
    pipe_ends& first = pipes_[drained_];
    const ssize_t n = ::splice(first.read, nullptr, fd, nullptr, std::min(want, first.held),
                               splice_flags);
    if (n > 0) {
        first.held -= std::uint64_t(n);
        held_ -= std::uint64_t(n);
    }
    return n;
}

void pipe_stage::clear() {
    for (const pipe_ends& p : pipes_) {
        ::close(p.read);
        ::close(p.write);
    }
    pipes_.clear();
    drained_ = 0;
    held_ = 0;
    full_ = false;
}

std::uint64_t pipe_room(int fd, std::uint64_t capacity) {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0 || queued < 0)
        return capacity; // cannot tell: the kernel's own limit still holds
    if (std::uint64_t(queued) < capacity)
        return capacity - std::uint64_t(queued);
    // Full; but bytes stay in a pipe whose reader has left, and the writer must find out.
    return (writer_events(fd) & POLLERR) != 0 ? capacity : 0;
}

bool pipe_has_free_slot(int fd) { return (writer_events(fd) & POLLOUT) != 0; }

std::uint64_t pipe_capacity(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        return 0;
    const int size = ::fcntl(fd, F_GETPIPE_SZ);
    return size > 0 ? std::uint64_t(size) : 0;
}

} // namespace shuffler
