#pragma once

#include <boost/asio/execution/context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/query.hpp>

#include <string>

namespace shuffler {

// Set to 1 by every reported error; decides the exit status. Touched on the event-loop thread only.
extern unsigned char failure_flag;

// Error value that ends a coroutine silently (a cancelled wait, timer or socket).
constexpr int aborted_value = 125;
// Error value that is the normal end of an input stream or a received connection.
constexpr int end_of_file_value = 2;

// The event loop behind an I/O object's executor.
template <class Executor> boost::asio::io_context& context_of(const Executor& ex) {
    return static_cast<boost::asio::io_context&>(
        boost::asio::query(ex, boost::asio::execution::context));
}

// Writes "subject: text" as one line on standard error, sets failure_flag and stops the loop.
void report_failure(boost::asio::io_context& io, const std::string& subject,
                    const std::string& text);

// Call inside a catch block. A system error whose value is 125, or `normal_end` when given,
// ends silently and returns false; anything else is reported under `subject` and returns true.
bool report_current_exception(boost::asio::io_context& io, const std::string& subject,
                              int normal_end = aborted_value);

// Writes one line to standard error in a single write, so concurrent processes do not interleave.
void write_error_line(const std::string& line);

// Prints the internal-error block for a failed library assertion and aborts.
[[noreturn]] void assertion_reporter(const char* expr, const char* msg, const char* function,
                                     const char* file, long line);

} // namespace shuffler
