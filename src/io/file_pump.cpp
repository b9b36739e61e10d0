#include "io/file_pump.hpp"

#include "core/report.hpp"
#include "io/byte_ring.hpp"

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
// Room a thread waits for in a byte_ring before it reads or inflates into it: a quarter of a
// record reader's ring, so that the thread works while the loop parses.
constexpr std::size_t ring_least = std::size_t(1) << 20;

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

// The loop's end is gone: moving more is pointless, and not a problem of the file.
struct loop_gone {};

bool is_regular(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

file_pump::file_pump(int file, job what, std::string name)
    : file_pump(file, std::move(name), std::string(), what) {}

file_pump::file_pump(int file, std::string name, std::string prefix)
    : file_pump(file, std::move(name), std::move(prefix), job::read) {}

file_pump::file_pump(int file, std::string name, std::string prefix, job what)
    : file_(file), job_(what), name_(std::move(name)), prefix_(std::move(prefix)) {
    // Close-on-exec: a child holding the thread's end would hide the end of the stream.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(file_);
        errno = error;
        throw_errno("pipe");
    }
    const bool reading = job_ != job::write && job_ != job::write_bam;
    loop_end_ = reading ? fds[0] : fds[1];
    thread_end_ = reading ? fds[1] : fds[0];
    // Fewer switches between the thread and the loop, as for children's pipes.
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    if (reading && is_regular(file_))
        ::posix_fadvise(file_, 0, 0, POSIX_FADV_SEQUENTIAL);
    start();
}

file_pump::file_pump(int file, job what, std::string name, byte_ring& ring)
    : file_(file), job_(what), name_(std::move(name)), ring_(&ring) {
    ::posix_fadvise(file_, 0, 0, POSIX_FADV_SEQUENTIAL);
    start();
}

void file_pump::start() {
    // The thread starts with every signal blocked: signals stay with the loop's thread, and a
    // write into a pipe whose reader left fails with EPIPE whatever SIGPIPE's disposition is.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::close(file_);
        if (loop_end_ >= 0)
            ::close(loop_end_);
        if (thread_end_ >= 0)
            ::close(thread_end_);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

file_pump::~file_pump() {
    if (ring_)
        ring_->close();
    if (loop_end_ >= 0)
        ::close(loop_end_);
    if (thread_.joinable())
        thread_.join();
}

int file_pump::take_loop_end() { return std::exchange(loop_end_, -1); }

std::string file_pump::finish() {
    if (thread_.joinable())
        thread_.join();
    return problem_;
}

void file_pump::run() {
    try {
        problem_ = job_ == job::read_gzip   ? decompress()
                   : job_ == job::read_hts  ? read_hts()
                   : job_ == job::write_bam ? write_bam()
                   : ring_                  ? read_into_ring()
                                            : copy();
    } catch (const loop_gone&) {
        problem_.clear();
    } catch (const std::exception& e) {
        problem_ = error_text(e);
    }
    ::close(file_);
    done_.store(true, std::memory_order_release);
    // Last: the loop sees the end (or a broken pipe) only once the verdict is stored.
    if (ring_)
        ring_->finish();
    else
        ::close(thread_end_);
}

void file_pump::wait_for_input() {
    for (;;) {
        pollfd fds[2] = {{file_, POLLIN, 0}, {thread_end_, 0, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw_errno("poll");
        }
        if (fds[1].revents & (POLLERR | POLLHUP))
            throw loop_gone();
        return;
    }
}

std::string file_pump::copy() {
    const bool reading = job_ == job::read;
    const int from = reading ? file_ : thread_end_;
    const int to = reading ? thread_end_ : file_;
    // A file read to its end in large steps needs no wait; a pipe or terminal is waited on
    // together with the loop's end, so a loop that leaves ends the wait.
    const bool wait = reading && !is_regular(file_);
    std::unique_ptr<char[]> buffer; // only for files splice() refuses
    for (std::size_t done = 0; reading && done < prefix_.size();) {
        const ssize_t put = ::write(to, prefix_.data() + done, prefix_.size() - done);
        if (put < 0 && errno == EPIPE)
            throw loop_gone();
        if (put < 0 && errno != EINTR)
            return std::string("write error: ") + std::strerror(errno);
        done += put > 0 ? std::size_t(put) : 0;
    }
    for (;;) {
        if (wait)
            wait_for_input();
        ssize_t moved;
        if (!buffer) {
            moved = ::splice(from, nullptr, to, nullptr, output_size, SPLICE_F_MOVE);
            if (moved < 0 && errno == EINVAL) {
                buffer.reset(new char[output_size]);
                continue;
            }
        } else {
            moved = ::read(from, buffer.get(), output_size);
            for (ssize_t put, done = 0; moved > 0 && done < moved; done += put) {
                put = ::write(to, buffer.get() + done, std::size_t(moved - done));
                if (put < 0 && errno == EINTR)
                    put = 0;
                else if (put < 0)
                    moved = -1;
            }
        }
        if (moved == 0)
            return "";
        if (moved > 0 || errno == EINTR || errno == EAGAIN)
            continue;
        if (reading && errno == EPIPE)
            throw loop_gone();
        return std::string(reading ? "read error: " : "write error: ") + std::strerror(errno);
    }
}

std::string file_pump::read_into_ring() {
    for (;;) {
        const auto [room, space] = ring_->wait_for_room(ring_least);
        if (space == 0)
            throw loop_gone();
        const ssize_t got = ::read(file_, room, std::min<std::uint64_t>(space, input_size));
        if (got > 0)
            ring_->commit(std::uint64_t(got));
        else if (got == 0)
            return "";
        else if (errno != EINTR)
            return std::string("read error: ") + std::strerror(errno);
    }
}

bool file_pump::is_whole_bgzf() const {
    // A member's header: ID1 ID2 CM FLG (FEXTRA), MTIME XFL OS, XLEN, then the subfield 'B' 'C'
    // of length 2. The last member is an empty one: these 28 bytes, whatever MTIME, XFL and OS.
    static const std::uint8_t end_member[28] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff,
                                                6, 0, 'B', 'C', 2, 0, 0x1b, 0, 3, 0,
                                                0, 0, 0, 0, 0, 0, 0, 0};
    const auto like_end_member = [](const std::uint8_t* header, std::size_t size) {
        return std::memcmp(header, end_member, 4) == 0 &&
               std::memcmp(header + 10, end_member + 10, size - 10) == 0;
    };
    struct stat st;
    std::uint8_t first[16], last[28];
    const off_t at = ::lseek(file_, 0, SEEK_CUR);
    return is_regular(file_) && at >= 0 && ::fstat(file_, &st) == 0 &&
           st.st_size >= at + off_t(sizeof last) &&
           ::pread(file_, first, sizeof first, at) == ssize_t(sizeof first) &&
           like_end_member(first, sizeof first) &&
           ::pread(file_, last, sizeof last, st.st_size - off_t(sizeof last)) ==
               ssize_t(sizeof last) &&
           like_end_member(last, sizeof last);
}

std::string file_pump::decompress() {
    // Two inflating threads beside the loop and the workers lose to ISA-L's one on two cores
    // (measured: 0.53-0.61 s against 0.38-0.52 s for 92 MB of BGZF); from three threads on, the
    // members' inflation spreads over cores the loop does not need.
    if (hts.threads >= 3 && is_whole_bgzf())
        return inflate_bgzf();
    const std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[input_size]);
    // Into the ring's room, or into `out` and from there into the pipe.
    const std::unique_ptr<std::uint8_t[]> out(ring_ ? nullptr : new std::uint8_t[output_size]);

    const bool regular = is_regular(file_);
    // Reads more input after the `kept` bytes at the front; 0 at its end.
    auto read_input = [&](std::size_t kept) -> std::size_t {
        for (;;) {
            if (!regular)
                wait_for_input();
            const ssize_t got = ::read(file_, in.get() + kept, input_size - kept);
            if (got >= 0)
                return std::size_t(got);
            if (errno != EINTR && errno != EAGAIN)
                return std::size_t(-1);
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
    bool padding = false;   // only zero bytes since the last member ended
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
            // Zero bytes to the end after the last member are the padding tapes and block
            // devices add; a byte other than zero after them is not.
            if (members > 0 && (padding || state.next_in[0] == 0)) {
                std::uint8_t* const end = state.next_in + state.avail_in;
                if (std::find_if(state.next_in, end, [](std::uint8_t b) { return b != 0; }) != end)
                    return describe_inflate_error(ISAL_INVALID_WRAPPER, members);
                padding = true;
                state.next_in += state.avail_in;
                state.avail_in = 0;
                continue;
            }
            // What is not even a gzip magic number is refused as such, however short.
            static const std::uint8_t magic[2] = {0x1f, 0x8b};
            if (std::memcmp(state.next_in, magic, std::min<std::size_t>(state.avail_in, 2)) != 0)
                return describe_inflate_error(ISAL_INVALID_WRAPPER, members);
            // The flag byte, fourth of the header: inflate ignores its reserved bits, which
            // mean a format this reader does not know.
            if (state.avail_in < 4 && !input_ended) {
                stalled = true; // read more first
                continue;
            }
            if (state.avail_in >= 4 && (state.next_in[3] & 0xe0) != 0)
                return "corrupt gzip data: member " + std::to_string(members + 1) +
                       " sets reserved header flags";
            in_member = true;
        }
        const std::uint32_t before = state.avail_in;
        const auto [target, target_size] = output_room(out.get());
        state.next_out = target;
        state.avail_out = std::uint32_t(target_size);
        const int code = isal_inflate(&state);
        if (code < 0)
            return describe_inflate_error(code, members);
        const std::size_t produced = target_size - state.avail_out;
        output(target, produced);
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

std::pair<std::uint8_t*, std::size_t> file_pump::output_room(std::uint8_t* buffer) {
    if (!ring_)
        return {buffer, output_size};
    const auto [room, space] = ring_->wait_for_room(ring_least);
    if (space == 0)
        throw loop_gone();
    return {reinterpret_cast<std::uint8_t*>(room), std::min<std::uint64_t>(space, output_size)};
}

void file_pump::output(const std::uint8_t* data, std::size_t size) {
    if (ring_) {
        ring_->commit(size);
        return;
    }
    while (size > 0) {
        const ssize_t put = ::write(thread_end_, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE)
                throw loop_gone();
            throw_errno("write to the decompression pipe");
        }
        data += put;
        size -= std::size_t(put);
    }
}

} // namespace shuffler
