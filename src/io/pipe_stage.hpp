#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace shuffler {

// Bytes held in private pipes on their way from a socket to an output pipe, moved with splice()
// so that they never pass through user space: the pipes hold references to the socket's pages.
// A worker stages a message's payload here until the whole of it has arrived, so that a
// connection cut mid-message leaves nothing of it in the output.
//
// A pipe's size counts slots, not bytes, and a slot of spliced socket data may hold more than a
// page, so each pipe holds at least its nominal 64 KiB and up to 512 KiB. Up to `max_pipes` are
// opened as needed, at the default size: the kernel limits the pipe pages each user may hold,
// and wider pipes here would leave the user's other pipes (the workers' outputs, the shell
// pipelines) at 8 KiB. When the pipes are full, or no more can be opened, the caller reads the
// rest of the message as usual.
class pipe_stage {
  public:
    explicit pipe_stage(std::size_t max_pipes) : max_pipes_(max_pipes) {}
    pipe_stage(pipe_stage&& other) noexcept;
    pipe_stage& operator=(pipe_stage&& other) noexcept;
    pipe_stage(const pipe_stage&) = delete;
    pipe_stage& operator=(const pipe_stage&) = delete;
    ~pipe_stage() { clear(); }

    // Bytes held.
    std::uint64_t size() const { return held_; }
    // Every pipe is full: no more bytes can be staged.
    bool full() const { return full_; }

    // Moves up to `want` bytes from the non-blocking socket `fd` into the pipes, opening another
    // when the last is full. Returns the bytes moved; 0 at the end of the socket's stream; -1 with
    // errno set on an error, EAGAIN when the socket has nothing now or when full() became true
    // (which a pipe that cannot be opened makes it).
    ssize_t fill_from(int fd, std::uint64_t want);

    // Moves up to `want` held bytes, oldest first, to the non-blocking pipe `fd`. Returns the
    // bytes moved, or -1 with errno set (EAGAIN: the output pipe is full).
    ssize_t drain_to(int fd, std::uint64_t want);

    // Drops whatever is held and closes the pipes.
    void clear();

  private:
    struct pipe_ends {
        int read = -1, write = -1;
        std::uint64_t held = 0;
    };

    bool add_pipe(); // false with errno set when no pipe can be opened

    std::size_t max_pipes_;
    std::vector<pipe_ends> pipes_; // filled in order, drained in order
    std::size_t drained_ = 0;      // pipes before this one are empty
    std::uint64_t held_ = 0;
    bool full_ = false;
};

// How many more bytes the output pipe `fd` may take while it holds at most `capacity` bytes (its
// size): 0 when it holds that much already. Writes and splices both respect this, so a stalled
// consumer's pipe holds no more than its size whatever its slots hold. A pipe whose reader has
// left has room, so that the next write finds the broken pipe.
std::uint64_t pipe_room(int fd, std::uint64_t capacity);

// True when the pipe `fd` has a free slot: a write would not wait.
bool pipe_has_free_slot(int fd);

// The size of the pipe `fd`, or 0 when `fd` is not a pipe.
std::uint64_t pipe_capacity(int fd);

} // namespace shuffler
