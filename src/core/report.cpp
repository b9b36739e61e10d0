#include "core/report.hpp"

#include <boost/system/system_error.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <unistd.h>

namespace shuffler {

void throw_system_error(int error) {
    throw boost::system::system_error(
        boost::system::error_code(error, boost::system::system_category()));
}

std::string error_text(const std::exception& e) {
    std::string text = e.what();
    if (const auto* system = dynamic_cast<const boost::system::system_error*>(&e)) {
        const std::string bracketed = system->code().what(); // the message, then the brackets
        if (text.size() >= bracketed.size() &&
            text.compare(text.size() - bracketed.size(), bracketed.size(), bracketed) == 0)
            text = text.substr(0, text.size() - bracketed.size()) + system->code().message();
    }
    return text;
}

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

void report_line(boost::asio::io_context& io, const std::string& line) {
    report_to(io).fail(line);
}

void report_failure(boost::asio::io_context& io, const std::string& subject,
                    const std::string& text) {
    report_line(io, subject + ": " + text);
}

bool report_current_exception(boost::asio::io_context& io, const std::string& subject,
                              silent_end silent) {
    try {
        throw;
    } catch (const record_error& e) {
        report_line(io, e.what()); // it names its own input
    } catch (const boost::system::system_error& e) {
        if (is_cancellation(e.code()) ||
            (silent == silent_end::cancellation_or_end_of_stream && is_end_of_stream(e.code())))
            return false;
        report_failure(io, subject, error_text(e));
    } catch (const std::exception& e) {
        report_failure(io, subject, error_text(e));
    }
    return true;
}

void assertion_reporter(const char* expr, const char* msg, const char* function,
                        const char* file, long line) {
    std::string text = std::string("***** Internal Program Error - assertion (") + expr +
                       ") failed in " + function + ":\n" + file + "(" + std::to_string(line) +
                       "): " + msg;
    write_standard_error(text + '\n');
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
