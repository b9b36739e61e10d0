#pragma once

#include "core/coroutine.hpp"
#include "core/run_report.hpp"

#include <boost/asio/io_context.hpp>

#include <string>
#include <sys/types.h>

namespace shuffler {

// A shell command (`/bin/sh -c`) in a process group of its own, fed from or feeding one end of a
// pipe, and waited for without ever blocking the event loop: through a pidfd, or SIGCHLD on
// kernels without them. Stopping it reaches whatever the shell started too.
class shell_command {
public:
    shell_command() = default;
    shell_command(const shell_command&) = delete;
    shell_command& operator=(const shell_command&) = delete;

    // Starts `command` with `theirs` (closed here, also on failure) as its standard output when
    // `to_us`, else as its standard input; default SIGPIPE and SIGCHLD, no signal blocked.
    // `report` learns of its process group, for a process ended at once.
    void start(const std::string& command, int theirs, bool to_us, run_report& report);

    // Started and not yet handed on (to the loop's watch, to teardown) or waited for.
    bool running() const { return pid_ >= 0; }
    // It reads what this process writes (an output command, a FIFO written through `cat`).
    bool reads_from_us() const { return reads_from_us_; }

    // Ends it now, before its input is closed: after a failure or a stop, a command written to
    // must not take what it got so far for everything. Reports how it ended under `subject`
    // if it had ended by itself.
    void stop_now(boost::asio::io_context& io, const std::string& subject);

    // Once its pipe is closed: at teardown (the loop stopped) settles it at once (waited for
    // while the run goes well, else stopped) and says whether it reported a failure; otherwise
    // watches for its end on the loop, which then reports a failure, and returns false.
    bool hand_over(boost::asio::io_context& io, const std::string& subject);

    // Once its pipe is closed: waits for it on the loop. Returns how it failed, "" when it exited
    // 0 or, read from, died of the broken pipe the close causes; otherwise `problem` (what the
    // thread moving its bytes said), when it has nothing to say itself. A `patient` wait waits as
    // long as it runs; otherwise a child that has not ended after a few seconds is stopped, and
    // `problem` returned.
    std::string wait(boost::asio::io_context& io, const std::string& subject,
                     const std::string& problem, const boost::asio::yield_context& yield,
                     bool patient);

private:
    pid_t pid_ = -1;             // the shell (and its process group), until handed on
    int pidfd_ = -1;             // readable once it has exited; -1 without pidfds
    bool reads_from_us_ = false; // its standard input is our pipe
};

// "exited with status N" or "killed by signal SIGNAME" for a wait status, "" for a clean exit. A
// shell's exit status 128 + N means its command was killed by signal N, and reads so.
std::string describe_wait_status(int status);
// True when the wait status is a death by SIGPIPE, directly or as the shell reports it.
bool died_of_broken_pipe(int status);

// Quotes `word` for the shell unless it is made only of characters the shell leaves alone, so
// ordinary file names keep their plain form in commands and labels.
std::string shell_quote(const std::string& word);

} // namespace shuffler
