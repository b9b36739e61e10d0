#include "app/stop_signals.hpp"

#include "core/report.hpp"

#include <boost/asio/post.hpp>

#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace shuffler {

stop_signals::stop_signals(boost::asio::io_context& io) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    thread_ = std::thread([this, &io] {
        for (bool first = true;; first = false) {
            int signal = 0;
            if (sigwait(&signals_, &signal) != 0 || ending_)
                return;
            if (!first) {
                // Asked twice: whatever holds up the orderly end (a child, a full pipe), stop now.
                write_error_line(std::string("interrupted again by SIG") + ::sigabbrev_np(signal) +
                                 "; stopping at once");
                ::_exit(255);
            }
            boost::asio::post(io, [&io, signal] {
                report_line(io, std::string("interrupted by SIG") + ::sigabbrev_np(signal));
            });
        }
    });
}

stop_signals::~stop_signals() {
    ending_ = true;
    // Wakes the thread if it still waits; once it has ended, the signal goes nowhere.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

} // namespace shuffler
