#include "core/run_report.hpp"

#include "core/report.hpp"

#include <boost/asio/execution_context.hpp>

#include <cstring>

namespace shuffler {

namespace {

// Holds the loop's report: an Asio service, so it belongs to the loop and not to the process.
class report_service : public boost::asio::execution_context::service {
public:
    static boost::asio::execution_context::id id;
    explicit report_service(boost::asio::execution_context& owner) : service(owner) {}
    stderr_report plain; // until one is attached
    run_report* report = &plain;

private:
    void shutdown() override {}
};

boost::asio::execution_context::id report_service::id;

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
    boost::asio::use_service<report_service>(io).report = &report;
}

run_report& report_to(boost::asio::io_context& io) {
    return *boost::asio::use_service<report_service>(io).report;
}

} // namespace shuffler
