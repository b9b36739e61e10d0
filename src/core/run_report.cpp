#include "core/run_report.hpp"

#include "core/loop_state.hpp"
#include "core/report.hpp"

#include <cstring>

namespace shuffler {

namespace {

// The loop's report (see loop_state): a plain one until the program attaches its own.
struct report_slot {
    stderr_report plain;
    run_report* report = &plain;
};

} // namespace

void stderr_report::fail(const std::string& line) {
    if (reason_.empty() && !held_)
        reason_ = line;
    note(line);
    failed_ = true;
}

void stderr_report::note(const std::string& line) {
    if (!held_)
        write_standard_error(line + '\n');
}

std::string interrupted_by(int signal) {
    return std::string("interrupted by SIG") + ::sigabbrev_np(signal);
}

void attach_report(boost::asio::io_context& io, run_report& report) {
    loop_state<report_slot>(io).report = &report;
}

run_report& report_to(boost::asio::io_context& io) {
    return *loop_state<report_slot>(io).report;
}

} // namespace shuffler
