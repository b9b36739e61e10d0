#pragma once

#include "app/stop_signals.hpp"
#include "core/run_report.hpp"

#include <boost/asio/io_context.hpp>

#include <string>

namespace shuffler {

// How the run is going: the first failure, which decides the exit status and is what peers are
// told. The one place that writes a failure's line and ends the run (stops its loop). Attached
// to the loop for the libraries (report_to); used on the loop's thread only. It outlives the
// loop: coroutines still suspended when the loop is destroyed may report as they unwind.
class run_status final : public run_report {
public:
    // `signals`, when given, answers for a stop the user asked for and keeps what a second
    // signal cleans up.
    explicit run_status(stop_signals* signals = nullptr) : signals_(signals) {}
    run_status(const run_status&) = delete;
    run_status& operator=(const run_status&) = delete;

    void fail(const std::string& line) override;
    void note(const std::string& line) override;
    bool failed() const override { return failed_; }
    const std::string& reason() const override { return reason_; }
    void hold_lines(bool held) override { held_ = held; }
    int stop_signal() const override { return signals_ ? signals_->stop_signal() : 0; }
    void child_started(pid_t group) override {
        if (signals_)
            signals_->child_started(group);
    }
    void child_ended(pid_t group) override {
        if (signals_)
            signals_->child_ended(group);
    }
    void remove_if_ended_at_once(const std::string& path) override {
        if (signals_)
            signals_->remove_if_ended_at_once(path);
    }
    void keep_if_ended_at_once(const std::string& path) override {
        if (signals_)
            signals_->keep_if_ended_at_once(path);
    }

    // From here on, a failure also stops `io`, and the libraries on it report here.
    void attach(boost::asio::io_context& io) {
        io_ = &io;
        attach_report(io, *this);
    }
    // Once the loop is gone: a failure is still recorded and written.
    void detach() { io_ = nullptr; }

private:
    stop_signals* signals_;
    boost::asio::io_context* io_ = nullptr;
    bool failed_ = false;
    bool held_ = false;
    std::string reason_;
};

} // namespace shuffler
