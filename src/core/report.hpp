#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/query.hpp>
#include <boost/system/error_code.hpp>

#include "core/run_report.hpp"

#include <exception>
#include <string>

namespace shuffler {

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

// The run on `io` fails with `line`: what the report attached to the loop is told (run_report).
void report_line(boost::asio::io_context& io, const std::string& line);

// report_line in the usual "subject: text" form.
void report_failure(boost::asio::io_context& io, const std::string& subject,
                    const std::string& text);

// Which ends of a coroutine are silent when its exception reaches report_current_exception.
enum class silent_end {
    cancellation,                  // only a cancelled operation
    cancellation_or_end_of_stream, // also the end of a stream read to its last message
};

// Call inside a catch block. An end listed by `silent` returns false without a word; a
// record_error is reported as it is (it names its input); anything else is reported under
// `subject`. True when it reported.
bool report_current_exception(boost::asio::io_context& io, const std::string& subject,
                              silent_end silent = silent_end::cancellation);

// Throws the system error `error` (an errno value) as a boost::system::system_error.
[[noreturn]] void throw_system_error(int error);

// What an exception says, for an error line: a system error's text without the category, number
// and source location that Boost adds in brackets ("Connection reset by peer [system:104 at
// .../reactive_socket_recv_op.hpp:129 ...]" says "Connection reset by peer").
std::string error_text(const std::exception& e);

// Writes all of `text` to standard error, in one write where the kernel allows, so that the lines
// of concurrent processes do not interleave.
void write_standard_error(const std::string& text);

// Prints the internal-error block for a failed library assertion and aborts.
[[noreturn]] void assertion_reporter(const char* expr, const char* msg, const char* function,
                                     const char* file, long line);

} // namespace shuffler
