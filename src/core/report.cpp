#include "core/report.hpp"

#include <boost/system/system_error.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <unistd.h>

namespace shuffler {

unsigned char failure_flag = 0;

namespace {

// A status line drawn in place stands on the terminal's last line, without a line feed. Atomic:
// the signal thread writes its last line without the loop.
std::atomic<bool> status_line_drawn{false};
// Set by the last line of a process ending at once: what the loop notices meanwhile (a child the
// ending killed, a connection it cut) is a consequence of that line, not news.
std::atomic<bool> last_line_written{false};

// Writes all of `out` to standard error in one write where the kernel allows.
void write_standard_error(const std::string& out) {
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0)
            return; // nowhere left to report to
        p += n;
        left -= std::size_t(n);
    }
}

// Touched on the event-loop thread only, as failure_flag.
std::string first_failure_line;
// Atomic, as the flags above: write_error_line may be called off the loop's thread.
std::atomic<bool> lines_held{false};

void write_line(const std::string& line) {
    if (last_line_written)
        return;
    // A line over a drawn status line erases its rest instead of following it.
    const bool over_status = status_line_drawn.exchange(false);
    write_standard_error((over_status ? "\r" + line + "\x1b[K" : line) + '\n');
}

} // namespace

const std::string& first_failure() { return first_failure_line; }

void hold_error_lines(bool held) { lines_held = held; }

void write_error_line(const std::string& line) {
    if (!lines_held)
        write_line(line);
}

void write_last_error_line(const std::string& line) {
    write_line(line);
    last_line_written = true;
}

void draw_status_line(const std::string& line) {
    if (last_line_written)
        return;
    write_standard_error("\r" + line + "\x1b[K");
    status_line_drawn = true;
}

void report_line(boost::asio::io_context& io, const std::string& line) {
    if (first_failure_line.empty() && !lines_held)
        first_failure_line = line;
    write_error_line(line);
    failure_flag = 1;
    io.stop();
}

void report_failure(boost::asio::io_context& io, const std::string& subject,
                    const std::string& text) {
    report_line(io, subject + ": " + text);
}

bool report_current_exception(boost::asio::io_context& io, const std::string& subject,
                              silent_end silent) {
    try {
        throw;
    } catch (const boost::system::system_error& e) {
        if (is_cancellation(e.code()) ||
            (silent == silent_end::cancellation_or_end_of_stream && is_end_of_stream(e.code())))
            return false;
        report_failure(io, subject, e.what());
    } catch (const std::exception& e) {
        report_failure(io, subject, e.what());
    }
    return true;
}

void assertion_reporter(const char* expr, const char* msg, const char* function,
                        const char* file, long line) {
    std::string text = std::string("***** Internal Program Error - assertion (") + expr +
                       ") failed in " + function + ":\n" + file + "(" + std::to_string(line) +
                       "): " + msg;
    write_error_line(text);
    std::abort();
}

} // namespace shuffler

// The coroutine library's assertions land here (BOOST_ENABLE_ASSERT_HANDLER).
namespace boost {
void assertion_failed_msg(const char* expr, const char* msg, const char* function,
                          const char* file, long line) {
    shuffler::assertion_reporter(expr, msg, function, file, line);
}
void assertion_failed(const char* expr, const char* function, const char* file, long line) {
    shuffler::assertion_reporter(expr, "", function, file, line);
}
} // namespace boost
