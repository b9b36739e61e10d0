#pragma once

#include "core/run_report.hpp"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace shuffler {

// Turns SIGINT and SIGTERM (a user's Ctrl-C, a scheduler cancelling the job) into a failure of
// the run, so that it ends as any failed run does: children are stopped, the port file and an
// unfinished output file are removed. A thread of its own waits for them, because a wait on the
// loop would be work that keeps the loop alive after everything else is done; it posts the
// failure to the loop. A second signal ends the process at once (status 255, one line, the files
// removed first), should the orderly end be held up.
class stop_signals {
  public:
    // Blocks the two signals in the calling thread (and so in every thread it starts later);
    // create it before any other thread, and keep it until the process ends.
    stop_signals();
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;
    // Ends the thread. The signals stay blocked: one arriving later finds nothing left to stop.
    ~stop_signals();

    // While the result lives, a first signal is reported on `io`; destroy it before the loop.
    struct attachment {
        stop_signals& owner;
        ~attachment();
    };
    attachment attach(boost::asio::io_context& io);

    // Call once the loop and its children are gone: reports a stop that came too late for the
    // loop to report ("interrupted by SIGTERM", a failure of the run) to `status`.
    void finish(run_report& status);

    // The signal of the first stop, or 0. Safe from any thread.
    int stop_signal() const { return first_signal_.load(); }
    // What a second signal cleans up before it ends the process (see run_report). Safe from any
    // thread.
    void child_started(pid_t group);
    void child_ended(pid_t group);
    void remove_if_ended_at_once(const std::string& path);
    void keep_if_ended_at_once(const std::string& path);

  private:
    // Kills the children's process groups and removes the files, for an end at once.
    void clean_up();

    std::atomic<int> first_signal_{0};
    std::mutex cleanup_mutex_; // guards the two lists
    std::vector<pid_t> child_groups_;
    std::vector<std::string> abandoned_files_;
    sigset_t signals_;
    std::atomic<bool> ending_{false};
    std::mutex io_mutex_;
    boost::asio::io_context* io_ = nullptr; // where to report a first signal, under io_mutex_
    bool reported_ = false;                 // the loop has reported it (loop thread only)
    std::thread thread_;
};

} // namespace shuffler
