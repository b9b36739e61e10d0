#pragma once

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <csignal>
#include <thread>

namespace shuffler {

// Turns SIGINT and SIGTERM (a user's Ctrl-C, a scheduler cancelling the job) into a failure of
// the run, so that it ends as any failed run does: the port file and an unfinished output file
// are removed. A thread of its own waits for them, because a wait on the loop would be work that
// keeps the loop alive after everything else is done; it posts the failure to the loop. A second
// signal ends the process at once (status 255), should the orderly end be held up.
class stop_signals {
  public:
    // Blocks the two signals in the calling thread (and so in every thread it starts later);
    // create it before any other thread.
    explicit stop_signals(boost::asio::io_context& io);
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;
    // Ends the thread and puts the signal mask back; destroy it before the loop.
    ~stop_signals();

  private:
    sigset_t signals_, previous_;
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

} // namespace shuffler
