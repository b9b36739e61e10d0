#include "io/endpoint.hpp"

#include "core/report.hpp"
#include "io/record_reader.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace shuffler {

namespace asio = boost::asio;

namespace {

// The error code `error` carries, or none when it is not a system error.
boost::system::error_code code_of(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        return e.code();
    } catch (...) {
        return {};
    }
}

} // namespace

void endpoint::open_command(const std::string& command, const char* mode) {
    const bool reading = mode[0] == 'r';
    // Close-on-exec: no later child may hold this pipe open and hide its end.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw_system_error(errno);
    const int ours = fds[reading ? 0 : 1], theirs = fds[reading ? 1 : 0];
    try {
        child_.start(command, theirs, reading, report_to(context_of(descriptor.get_executor())));
    } catch (...) {
        ::close(ours);
        throw;
    }
    // The command as the user wrote it beside its bar, without the spaces that kept them apart.
    const std::size_t first = command.find_first_not_of(" \t");
    const std::size_t last = command.find_last_not_of(" \t");
    const std::string words =
        first == std::string::npos ? "" : command.substr(first, last - first + 1);
    label = reading ? words + " |" : "| " + words;
    // A wider pipe lets the child and this process move 1 MiB per switch instead of 64 KiB.
    ::fcntl(ours, F_SETPIPE_SZ, 1 << 20);
    boost::system::error_code ec;
    descriptor.assign(ours, ec);
    if (ec) {
        ::close(ours);
        throw boost::system::system_error(ec, "assign");
    }
}

void endpoint::open_output_command(const std::string& command, file_pump::job what) {
    open_command(command, "w");
    if (what != file_pump::job::write_bam)
        return;
    // htslib's thread encodes into the command's input; the loop gives the thread SAM text.
    start_pump(descriptor.release(), what, label);
}

void endpoint::open_stdio(int fd, byte_ring* ring, file_pump::job what) {
    stdio_.wrap(fd);
    const bool hts = what == file_pump::job::read_hts || what == file_pump::job::write_bam;
    if (!hts && !needs_pump(fd)) {
        descriptor.assign(fd);
        return;
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        throw_system_error(errno);
    if (hts) { // the thread's problems name the stream
        label = fd == 0 ? "stdin" : "stdout";
        named_file_ = true;
    }
    start_pump(copy, hts ? what : fd == 0 ? file_pump::job::read : file_pump::job::write,
               fd == 0 ? "stdin" : "stdout", ring);
}

void endpoint::open_file(const std::string& path, file_pump::job what, byte_ring* ring) {
    if (path.empty() && what == file_pump::job::read_gzip) {
        const int input = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (input < 0)
            throw_system_error(errno);
        label = "stdin";
        named_file_ = true;
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
        throw_system_error(errno);
    adopt_file(fd, what, path, ring);
}

void endpoint::open_decoded_after(int fd, std::string prefix, byte_ring* ring) {
    const int decoded = file_.start_relay(fd, std::move(prefix));
    label = "stdin";
    named_file_ = true;
    start_pump(decoded, file_pump::job::read_hts, label, ring);
}

void endpoint::adopt_file(int fd, file_pump::job what, const std::string& path,
                                 byte_ring* ring) {
    label = path;
    named_file_ = true;
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

void endpoint::start_pump(int file, file_pump::job what, const std::string& name,
                          byte_ring* ring) {
    file_.start(descriptor, file, what, name, ring);
}

void endpoint::close_descriptor() {
    file_.close_ring();
    if (!descriptor.is_open())
        return;
    if (stdio_.fd() >= 0 && !child_.running() && !file_.active()) {
        stdio_.close(descriptor);
        return;
    }
    boost::system::error_code ignored;
    descriptor.close(ignored);
}

bool endpoint::close() {
    asio::io_context& io = context_of(descriptor.get_executor());
    // After a failure or a stop, a command written to is ended while its input is still open: it
    // must not take what it got so far for everything, and a thread writing into it must not be
    // left waiting for it to read.
    bool stopped_first = false;
    if (child_.running() && child_.reads_from_us() &&
        (report_to(io).failed() || report_to(io).stop_signal() != 0) &&
        io.stopped()) {
        child_.stop_now(io, description());
        stopped_first = true;
    }
    close_descriptor();
    bool reported = false;
    if (file_.active()) {
        const std::string problem = file_.finish();
        // A thread writing into a command stopped above was cut off, and one encoding what a
        // failed or stopped run had written so far meets a record cut short: no news.
        const bool consequence = stopped_first || report_to(io).failed() ||
                                 report_to(io).stop_signal() != 0;
        if (!problem.empty() && !consequence) {
            reported = true;
            // A redirected standard output has no file name here: name it as the other lines do.
            const std::string subject = stdio_.fd() == 1 ? "standard output" : description();
            report_failure(io, subject, problem);
        }
    }
    if (!child_.running())
        return reported;
    return child_.hand_over(io, description()) || reported;
}

std::string endpoint::close_and_wait(const asio::yield_context& yield, bool patient) {
    close_descriptor();
    asio::io_context& io = context_of(descriptor.get_executor());
    std::string problem;
    if (file_.active()) {
        // The thread may still be writing what it holds into a slow command or file: its end
        // is waited for on the loop, which goes on meanwhile.
        if (!io.stopped()) {
            asio::steady_timer poll(io);
            for (auto interval = std::chrono::milliseconds(1); !file_.done();
                 interval = std::min(2 * interval, std::chrono::milliseconds(64))) {
                poll.expires_after(interval);
                poll.async_wait(yield);
            }
        }
        problem = file_.finish();
    }
    if (!child_.running())
        return problem;
    return child_.wait(io, description(), problem, yield, patient);
}

std::string endpoint::description() const {
    if (stdio_.fd() == 0)
        return "stdin";
    if (stdio_.fd() == 1)
        return "stdout";
    if (named_file_)
        return label;
    return "pipe command '" + label + "'";
}

void report_pipe_error(asio::io_context& io, const std::string& subject, std::exception_ptr error,
                       const std::vector<endpoint*>& pipes, bool end_of_stream_is_silent,
                       const asio::yield_context& yield) {
    const silent_end silent = end_of_stream_is_silent ? silent_end::cancellation_or_end_of_stream
                                                      : silent_end::cancellation;
    // A clean end waits for the children however long they take: their status decides the run.
    const bool clean_end = !error || (end_of_stream_is_silent && is_end_of_stream(code_of(error)));
    try {
        for (endpoint* pipe : pipes) {
            if (error && is_cancellation(code_of(error)))
                break;
            if (!pipe)
                continue;
            const std::string how = pipe->close_and_wait(yield, clean_end);
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
    if (!error)
        return;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception&) {
        report_current_exception(io, subject, silent);
    }
}

} // namespace shuffler
