#include "io/gzip_source.hpp"

#include <isa-l/igzip_lib.h>

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace shuffler {

namespace {

constexpr std::size_t input_size = std::size_t(1) << 20;
constexpr std::size_t output_size = std::size_t(1) << 20;

[[noreturn]] void throw_errno(const char* what) {
    throw boost::system::system_error(
        boost::system::error_code(errno, boost::system::system_category()), what);
}

std::string describe_inflate_error(int code, unsigned members) {
    switch (code) {
    case ISAL_INVALID_WRAPPER:
        return members == 0 ? "not in gzip format"
                            : "the data after gzip member " + std::to_string(members) +
                                  " is not in gzip format";
    case ISAL_UNSUPPORTED_METHOD:
        return "not in gzip format: unsupported compression method";
    case ISAL_INCORRECT_CHECKSUM:
        return "corrupt gzip data: checksum mismatch";
    default:
        return "corrupt gzip data: invalid deflate stream (inflate error " +
               std::to_string(code) + ")";
    }
}

// The reader's end is gone: writing more is pointless, and not a problem of the input.
struct reader_gone {};

} // namespace

gzip_source::gzip_source(int input, std::string name) : input_(input), name_(std::move(name)) {
    // Close-on-exec: a child holding the write end would hide the end of the stream.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(input_);
        errno = error;
        throw_errno("pipe");
    }
    read_end_ = fds[0];
    write_end_ = fds[1];
    // Fewer switches between the thread and the loop, as for children's pipes.
    ::fcntl(write_end_, F_SETPIPE_SZ, 1 << 20);
    struct stat st;
    if (::fstat(input_, &st) == 0 && S_ISREG(st.st_mode))
        ::posix_fadvise(input_, 0, 0, POSIX_FADV_SEQUENTIAL);
    // The thread starts with every signal blocked: signals stay with the loop's thread, and a
    // write into a pipe whose reader left fails with EPIPE whatever SIGPIPE's disposition is.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::close(input_);
        ::close(read_end_);
        ::close(write_end_);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

gzip_source::~gzip_source() {
    if (read_end_ >= 0)
        ::close(read_end_);
    if (thread_.joinable())
        thread_.join();
}

int gzip_source::take_read_end() { return std::exchange(read_end_, -1); }

std::string gzip_source::finish() {
    if (thread_.joinable())
        thread_.join();
    return problem_;
}

void gzip_source::run() {
    try {
        problem_ = decompress();
    } catch (const reader_gone&) {
        problem_.clear();
    } catch (const std::exception& e) {
        problem_ = e.what();
    }
    ::close(input_);
    // Last: the loop sees end of file only once the verdict is stored.
    ::close(write_end_);
}

std::string gzip_source::decompress() {
    const std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[input_size]);
    const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[output_size]);
    struct stat st;
    const bool regular = ::fstat(input_, &st) == 0 && S_ISREG(st.st_mode);

    // Reads more input after the `kept` bytes at the front; 0 at its end. A pipe or terminal is
    // waited on together with the output pipe, so a reader that leaves ends the wait.
    auto read_input = [&](std::size_t kept) -> std::size_t {
        for (;;) {
            if (!regular) {
                pollfd fds[2] = {{input_, POLLIN, 0}, {write_end_, 0, 0}};
                if (::poll(fds, 2, -1) < 0) {
                    if (errno == EINTR)
                        continue;
                    throw_errno("poll");
                }
                if (fds[1].revents & (POLLERR | POLLHUP))
                    throw reader_gone();
            }
            const ssize_t got = ::read(input_, in.get() + kept, input_size - kept);
            if (got >= 0)
                return std::size_t(got);
            if (errno != EINTR && errno != EAGAIN)
                return std::size_t(-1);
        }
    };
    auto write_output = [&](const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            const ssize_t put = ::write(write_end_, data, size);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EPIPE)
                    throw reader_gone();
                throw_errno("write to the decompression pipe");
            }
            data += put;
            size -= std::size_t(put);
        }
    };

    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_GZIP;
    state.next_in = in.get();
    state.avail_in = 0;
    bool input_ended = false;
    bool in_member = false; // bytes of the current member have been given to inflate
    bool stalled = false;   // the last call neither took input nor gave output
    unsigned members = 0;
    for (;;) {
        if ((state.avail_in == 0 || stalled) && !input_ended) {
            // Unread bytes (a header split by the read) move to the front, more follow them.
            const std::size_t kept = state.avail_in;
            if (kept > 0 && state.next_in != in.get())
                std::memmove(in.get(), state.next_in, kept);
            if (kept == input_size)
                return describe_inflate_error(ISAL_INVALID_WRAPPER, members);
            const std::size_t got = read_input(kept);
            if (got == std::size_t(-1))
                return std::string("read error: ") + std::strerror(errno);
            input_ended = got == 0;
            state.next_in = in.get();
            state.avail_in = std::uint32_t(kept + got);
        }
        if (!in_member) {
            if (state.avail_in == 0) // input_ended: a clean end between members
                return members == 0 ? "empty file, not gzip data" : "";
            // What is not even a gzip magic number is refused as such, however short.
            static const std::uint8_t magic[2] = {0x1f, 0x8b};
            if (std::memcmp(state.next_in, magic, std::min<std::size_t>(state.avail_in, 2)) != 0)
                return describe_inflate_error(ISAL_INVALID_WRAPPER, members);
            in_member = true;
        }
        const std::uint32_t before = state.avail_in;
        state.next_out = out.get();
        state.avail_out = std::uint32_t(output_size);
        const int code = isal_inflate(&state);
        if (code < 0)
            return describe_inflate_error(code, members);
        const std::size_t produced = output_size - state.avail_out;
        write_output(out.get(), produced);
        if (state.block_state == ISAL_BLOCK_FINISH) {
            // The next member, if any, starts in what inflate left unread.
            std::uint8_t* const next = state.next_in;
            const std::uint32_t left = state.avail_in;
            isal_inflate_reset(&state);
            state.crc_flag = ISAL_GZIP;
            state.next_in = next;
            state.avail_in = left;
            ++members;
            in_member = false;
            stalled = false;
            continue;
        }
        stalled = produced == 0 && state.avail_in == before;
        if (stalled && input_ended)
            return "truncated gzip data: the file ends inside member " +
                   std::to_string(members + 1);
    }
}

} // namespace shuffler
