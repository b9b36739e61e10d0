#include "io/pipe_descriptor.hpp"

#include "core/report.hpp"
#include "io/record_reader.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace shuffler {

namespace asio = boost::asio;

namespace {

[[noreturn]] void throw_error(int error) {
    throw boost::system::system_error(
        boost::system::error_code(error, boost::system::system_category()));
}

// Blocks until `pid` has exited and returns its wait status, or -1 when it cannot be waited for.
int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

// Reports how a child ended, unless it ended cleanly or was cut off by a shutdown after an
// earlier failure. Without a loop (it is being destroyed) the line is written directly.
void report_exit(asio::io_context* io, const std::string& subject, int status) {
    const std::string how = describe_wait_status(status);
    if (how.empty() || (died_of_broken_pipe(status) && failure_flag))
        return;
    if (io) {
        report_failure(*io, subject, how);
    } else {
        write_error_line(subject + ": " + how);
        failure_flag = 1;
    }
}

// A child waited for in the background: `exited` becomes readable when it ends. If the loop goes
// before that, the child is waited for when the pending wait is destroyed with it.
struct background_child {
    background_child(asio::io_context& io, int pidfd, pid_t pid, std::string subject)
        : exited(io, pidfd), pid(pid), subject(std::move(subject)) {}
    ~background_child() {
        if (pid > 0)
            report_exit(nullptr, subject, wait_for(pid));
    }
    asio::posix::stream_descriptor exited;
    pid_t pid;
    std::string subject;
};

// True for a regular file or a device other than a terminal: epoll cannot wait on those (Asio
// then reads and writes them in place, blocking the loop on the disk), so a file_pump moves them.
bool needs_pump(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false; // the descriptor's own operations will say what is wrong
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !::isatty(fd));
}

// True when `error` is a cancelled operation.
bool is_cancelled(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        return is_cancellation(e.code());
    } catch (...) {
        return false;
    }
}

} // namespace

void pipe_descriptor::open_command(const std::string& command, const char* mode) {
    const bool reading = mode[0] == 'r';
    // Close-on-exec: no later child may hold this pipe open and hide its end.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw_error(errno);
    const int ours = fds[reading ? 0 : 1], theirs = fds[reading ? 1 : 0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs, reading ? STDOUT_FILENO : STDIN_FILENO);
    // The command gets default SIGPIPE and SIGCHLD whatever this process inherited or set, and
    // no blocked signals (this process blocks SIGINT and SIGTERM to wait for them on a thread).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::string shell = "sh", flag = "-c", text = command;
    char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(theirs);
    if (error != 0) {
        ::close(ours);
        throw_error(error);
    }
    child_ = pid;
    // Kernels before 5.3 have no pidfd: waiting for the child then blocks. (The system call
    // directly: the C library's header lacks C linkage in C++.)
    child_fd_ = int(::syscall(SYS_pidfd_open, pid, 0));
    label = reading ? command + " |" : "| " + command;
    // A wider pipe lets the child and this process move 1 MiB per switch instead of 64 KiB.
    ::fcntl(ours, F_SETPIPE_SZ, 1 << 20);
    boost::system::error_code ec;
    descriptor.assign(ours, ec);
    if (ec) {
        ::close(ours);
        throw boost::system::system_error(ec, "assign");
    }
}

void pipe_descriptor::open_stdio(int fd, byte_ring* ring, file_pump::job what) {
    stdio_fd_ = fd;
    stdio_flags_ = ::fcntl(fd, F_GETFL);
    // A wider pipe means fewer switches between this process and the one at the other end.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
        ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    const bool hts = what == file_pump::job::read_hts || what == file_pump::job::write_bam;
    if (!hts && !needs_pump(fd)) {
        descriptor.assign(fd);
        return;
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        throw_error(errno);
    if (hts) { // the thread's problems name the stream
        label = fd == 0 ? "stdin" : "stdout";
        file_ = true;
    }
    start_pump(copy, hts ? what : fd == 0 ? file_pump::job::read : file_pump::job::write,
               fd == 0 ? "stdin" : "stdout", ring);
}

void pipe_descriptor::open_file(const std::string& path, file_pump::job what, byte_ring* ring) {
    if (path.empty() && what == file_pump::job::read_gzip) {
        const int input = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (input < 0)
            throw_error(errno);
        label = "stdin";
        file_ = true;
        start_pump(input, what, label);
        return;
    }
    // A FIFO would block the loop in open() until its other end appears: a child waits instead.
    struct stat st;
    if (what != file_pump::job::read_gzip && what != file_pump::job::read_hts &&
        what != file_pump::job::write_bam && ::stat(path.c_str(), &st) == 0 &&
        S_ISFIFO(st.st_mode)) {
        const bool reading = what == file_pump::job::read;
        open_command((reading ? "cat " : "cat > ") + shell_quote(path), reading ? "r" : "w");
        return;
    }
    const int fd = what == file_pump::job::write || what == file_pump::job::write_bam
                       ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                       : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw_error(errno);
    adopt_file(fd, what, path, ring);
}

void pipe_descriptor::open_decoded_after(int fd, std::string prefix, byte_ring* ring) {
    relay_ = std::make_unique<file_pump>(fd, "stdin", std::move(prefix));
    label = "stdin";
    file_ = true;
    start_pump(relay_->take_loop_end(), file_pump::job::read_hts, label, ring);
}

void pipe_descriptor::adopt_file(int fd, file_pump::job what, const std::string& path,
                                 byte_ring* ring) {
    label = path;
    file_ = true;
    if (what == file_pump::job::read_gzip || what == file_pump::job::read_hts ||
        what == file_pump::job::write_bam || needs_pump(fd)) {
        start_pump(fd, what, path, ring);
        return;
    }
    boost::system::error_code ec;
    descriptor.assign(fd, ec);
    if (ec) {
        ::close(fd);
        throw boost::system::system_error(ec, "assign");
    }
}

void pipe_descriptor::start_pump(int file, file_pump::job what, const std::string& name,
                                 byte_ring* ring) {
    // Only a regular file read goes into the ring: the thread never waits for the file to have
    // bytes, which it could not stop doing when the loop leaves.
    struct stat st;
    // htslib's decoder reads whatever the file is (a pipe too): its lines go only to a ring.
    if (ring && what != file_pump::job::write &&
        (what == file_pump::job::read_hts || (::fstat(file, &st) == 0 && S_ISREG(st.st_mode)))) {
        const int wakeup = ::fcntl(ring->wakeup_fd(), F_DUPFD_CLOEXEC, 3);
        boost::system::error_code ec;
        if (wakeup >= 0)
            descriptor.assign(wakeup, ec);
        if (wakeup < 0 || ec) {
            const int error = wakeup < 0 ? errno : ec.value();
            ::close(file);
            if (wakeup >= 0)
                ::close(wakeup);
            throw_error(error);
        }
        pump_ = std::make_unique<file_pump>(file, what, name, *ring);
        ring_ = ring;
        return;
    }
    pump_ = std::make_unique<file_pump>(file, what, name);
    const int fd = pump_->take_loop_end();
    boost::system::error_code ec;
    descriptor.assign(fd, ec);
    if (ec) {
        ::close(fd); // cuts the thread off, so closing joins it
        throw boost::system::system_error(ec, "assign");
    }
}

void pipe_descriptor::close_descriptor() {
    if (ring_)
        std::exchange(ring_, nullptr)->close(); // a thread waiting for room stops
    if (!descriptor.is_open())
        return;
    if (stdio_fd_ >= 0 && child_ < 0 && !pump_ && stdio_flags_ >= 0) {
        // The event loop made the stream non-blocking; whoever shares it next expects it as it was.
        const int fd = descriptor.release();
        ::fcntl(fd, F_SETFL, stdio_flags_);
        ::close(fd);
        return;
    }
    boost::system::error_code ignored;
    descriptor.close(ignored);
}

void pipe_descriptor::close() {
    close_descriptor();
    if (pump_) {
        std::string problem = std::exchange(pump_, nullptr)->finish();
        // The decoder has closed the relay's pipe, which ends the relay.
        if (relay_ && problem.empty())
            problem = relay_->finish();
        relay_.reset();
        if (!problem.empty()) {
            asio::io_context& io = context_of(descriptor.get_executor());
            if (io.stopped()) {
                write_error_line(label + ": " + problem);
                failure_flag = 1;
            } else {
                report_failure(io, label, problem);
            }
        }
    }
    if (child_ < 0)
        return;
    asio::io_context& io = context_of(descriptor.get_executor());
    const pid_t pid = std::exchange(child_, -1);
    const int pidfd = std::exchange(child_fd_, -1);
    if (pidfd < 0 || io.stopped()) {
        // No loop left to wait on: this is teardown, where blocking holds nothing up.
        if (pidfd >= 0)
            ::close(pidfd);
        report_exit(&io, description(), wait_for(pid));
        return;
    }
    auto child = std::make_shared<background_child>(io, pidfd, pid, description());
    child->exited.async_wait(asio::posix::stream_descriptor::wait_read,
                             [child, &io](const boost::system::error_code&) {
                                 report_exit(&io, child->subject,
                                             wait_for(std::exchange(child->pid, -1)));
                             });
}

std::string pipe_descriptor::end_child(const asio::yield_context& yield) {
    close_descriptor();
    if (pump_) {
        std::string problem = std::exchange(pump_, nullptr)->finish();
        if (relay_ && problem.empty())
            problem = relay_->finish();
        relay_.reset();
        return problem;
    }
    if (child_ < 0)
        return "";
    asio::io_context& io = context_of(descriptor.get_executor());
    if (child_fd_ >= 0 && !io.stopped()) {
        asio::posix::stream_descriptor exited(io, std::exchange(child_fd_, -1));
        exited.async_wait(asio::posix::stream_descriptor::wait_read, yield);
    }
    if (child_fd_ >= 0)
        ::close(std::exchange(child_fd_, -1));
    const int status = wait_for(std::exchange(child_, -1));
    return died_of_broken_pipe(status) ? "" : describe_wait_status(status);
}

std::string pipe_descriptor::description() const {
    if (stdio_fd_ == 0)
        return "stdin";
    if (stdio_fd_ == 1)
        return "stdout";
    if (file_)
        return label;
    return "pipe command '" + label + "'";
}

std::string describe_wait_status(int status) {
    if (status == -1)
        return "could not be waited for";
    int signal = 0;
    if (WIFSIGNALED(status)) {
        signal = WTERMSIG(status);
    } else if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == 0)
            return "";
        if (code <= 128 || code - 128 >= NSIG)
            return "exited with status " + std::to_string(code);
        signal = code - 128;
    } else {
        return "ended with wait status " + std::to_string(status);
    }
    const char* name = ::sigabbrev_np(signal);
    return "killed by signal " + (name ? "SIG" + std::string(name) : std::to_string(signal));
}

bool died_of_broken_pipe(int status) {
    return status != -1 && ((WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
                             (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGPIPE));
}

void report_pipe_error(asio::io_context& io, const std::string& subject, std::exception_ptr error,
                       const std::vector<pipe_descriptor*>& pipes, bool end_of_stream_is_silent,
                       const asio::yield_context& yield) {
    const silent_end silent = end_of_stream_is_silent ? silent_end::cancellation_or_end_of_stream
                                                      : silent_end::cancellation;
    try {
        for (pipe_descriptor* pipe : pipes) {
            if (is_cancelled(error))
                break;
            if (!pipe)
                continue;
            const std::string how = pipe->end_child(yield);
            if (!how.empty()) {
                report_failure(io, pipe->description(), how);
                return;
            }
        }
    } catch (const boost::system::system_error& e) {
        if (!is_cancellation(e.code()))
            throw;
        return; // told to stop while waiting: the run is ending anyway
    }
    try {
        std::rethrow_exception(error);
    } catch (const record_error& e) {
        report_line(io, e.what()); // it names its own file
    } catch (const std::exception&) {
        report_current_exception(io, subject, silent);
    }
}

std::string shell_quote(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_-./+,=:@%") == std::string::npos;
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace shuffler
