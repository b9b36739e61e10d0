#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/query.hpp>
#include <boost/system/error_code.hpp>

#include <string>

namespace shuffler {

// Set to 1 by every reported error; decides the exit status. Touched on the event-loop thread only.
extern unsigned char failure_flag;

// The event loop behind an I/O object's executor.
template <class Executor> boost::asio::io_context& context_of(const Executor& ex) {
    return static_cast<boost::asio::io_context&>(
        boost::asio::query(ex, boost::asio::execution::context));
}

// A cancelled wait, timer or socket: the end of a coroutine that was told to stop, never a line.
inline bool is_cancellation(const boost::system::error_code& ec) {
    return ec == boost::asio::error::operation_aborted;
}
// The normal end of an input stream or a received connection.
inline bool is_end_of_stream(const boost::system::error_code& ec) {
    return ec == boost::asio::error::eof;
}

// The one way a run fails: writes `line` on standard error, sets failure_flag and stops the loop.
void report_line(boost::asio::io_context& io, const std::string& line);

// The first line report_line wrote in this process, or "": why the run failed, for its peers.
const std::string& first_failure();

// While held, write_error_line writes nothing: a failed run telling its peers why, whose loop
// runs on a little, would otherwise report what the failure itself brings about.
void hold_error_lines(bool held);

// report_line in the usual "subject: text" form.
void report_failure(boost::asio::io_context& io, const std::string& subject,
                    const std::string& text);

// Which ends of a coroutine are silent when its exception reaches report_current_exception.
enum class silent_end {
    cancellation,                  // only a cancelled operation
    cancellation_or_end_of_stream, // also the end of a stream read to its last message
};

// Call inside a catch block. An end listed by `silent` returns false without a word; anything
// else is reported under `subject` and returns true.
bool report_current_exception(boost::asio::io_context& io, const std::string& subject,
                              silent_end silent = silent_end::cancellation);

// Writes one line to standard error in a single write, so concurrent processes do not interleave.
// Only for lines that are not failures of the run (those go through report_line).
void write_error_line(const std::string& line);

// write_error_line for a process about to end at once: no line follows it, from any thread.
void write_last_error_line(const std::string& line);

// Draws `line` over the last line of standard error, a terminal: a carriage return, the line,
// and the rest of the old one erased. The next write_error_line replaces it.
void draw_status_line(const std::string& line);

// Prints the internal-error block for a failed library assertion and aborts.
[[noreturn]] void assertion_reporter(const char* expr, const char* msg, const char* function,
                                     const char* file, long line);

} // namespace shuffler
