#pragma once

#include <boost/asio/io_context.hpp>

#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace shuffler {

// A malformed record or line of an input: what() is a whole error line, "<input name>: <problem>"
// with the place in the input. What the parsers throw; whoever reads the input reports it.
struct record_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How the libraries tell the program that the run failed, or something worth a line happened.
// They print nothing themselves and never stop the loop: the program attaches its report to the
// loop (app's run_status, which keeps the first failure, writes the lines and ends the run), and
// the libraries find it through the loop they run on.
class run_report {
public:
    virtual ~run_report() = default;
    // A failure of the run, as its one line ("subject: text"): the first one ends the run.
    virtual void fail(const std::string& line) = 0;
    // A line that is not a failure (a stray connection dropped, a worker that failed and whose
    // messages go to others).
    virtual void note(const std::string& line) = 0;
    virtual bool failed() const = 0;
    // The first failure's line, or "": why the run failed, for the peers it tells.
    virtual const std::string& reason() const = 0;
    // While held, lines are not written: a failed run telling its peers why, whose loop runs on
    // a little, would otherwise report what its own failure brings about.
    virtual void hold_lines(bool held) = 0;

    // The signal of a stop the user asked for (SIGINT, SIGTERM), or 0: teardown waits for
    // children give up on it.
    virtual int stop_signal() const = 0;
    // What a process ended at once by a second signal cleans up first, since its owners cannot:
    // the process groups of the children still running, and files only a finished run may
    // leave (the port file, an unfinished output).
    virtual void child_started(pid_t group) = 0;
    virtual void child_ended(pid_t group) = 0;
    virtual void remove_if_ended_at_once(const std::string& path) = 0;
    virtual void keep_if_ended_at_once(const std::string& path) = 0;
};

// "interrupted by SIGTERM": the one line of a run that a stop ended.
std::string interrupted_by(int signal);

// The plainest report: writes each line to standard error and keeps the first failure; never
// stops a loop. What a loop without an attached report uses, and what a test can own.
class stderr_report final : public run_report {
public:
    void fail(const std::string& line) override;
    void note(const std::string& line) override;
    bool failed() const override { return failed_; }
    const std::string& reason() const override { return reason_; }
    void hold_lines(bool held) override { held_ = held; }
    // Nothing asks it to stop, and nothing ends it at once.
    int stop_signal() const override { return 0; }
    void child_started(pid_t) override {}
    void child_ended(pid_t) override {}
    void remove_if_ended_at_once(const std::string&) override {}
    void keep_if_ended_at_once(const std::string&) override {}

private:
    bool failed_ = false;
    bool held_ = false;
    std::string reason_;
};

// Attaches `report` to `io` for the libraries running on it; it must outlive their use of `io`.
void attach_report(boost::asio::io_context& io, run_report& report);
// The report attached to `io`. A loop without one (a library used on its own, a test) has a
// plain one of its own: it writes each line to standard error and keeps the first failure, and,
// as every library, leaves the loop running.
run_report& report_to(boost::asio::io_context& io);

} // namespace shuffler
