#include "app/stop_signals.hpp"

#include "app/error_lines.hpp"
#include "core/report.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace shuffler {

stop_signals::stop_signals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals_, &signal) != 0 || ending_)
                return;
            int none = 0;
            if (!first_signal_.compare_exchange_strong(none, signal)) {
                // Asked twice: whatever holds up the orderly end (a child, a full pipe, a file
                // system), stop now, leaving no file that only a finished run may leave.
                write_last_error_line(std::string("interrupted again by SIG") + ::sigabbrev_np(signal) +
                                 "; stopping at once");
                clean_up();
                ::_exit(255);
            }
            const std::lock_guard<std::mutex> lock(io_mutex_);
            if (io_)
                boost::asio::post(*io_, [this, io = io_, signal] {
                    reported_ = true;
                    // A run that already failed has said why: the stop adds no second line.
                    if (report_to(*io).failed())
                        io->stop();
                    else
                        report_line(*io, interrupted_by(signal));
                });
        }
    });
}

stop_signals::~stop_signals() {
    ending_ = true;
    // Wakes the thread if it still waits; once it has ended, the signal stays pending, blocked.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

stop_signals::attachment stop_signals::attach(boost::asio::io_context& io) {
    const std::lock_guard<std::mutex> lock(io_mutex_);
    io_ = &io;
    return attachment{*this};
}

stop_signals::attachment::~attachment() {
    const std::lock_guard<std::mutex> lock(owner.io_mutex_);
    owner.io_ = nullptr;
}

void stop_signals::finish(run_report& status) {
    const int signal = stop_signal();
    if (signal == 0 || reported_ || status.failed())
        return;
    status.fail(interrupted_by(signal));
}

void stop_signals::child_started(pid_t group) {
    const std::lock_guard<std::mutex> lock(cleanup_mutex_);
    child_groups_.push_back(group);
}

void stop_signals::child_ended(pid_t group) {
    const std::lock_guard<std::mutex> lock(cleanup_mutex_);
    child_groups_.erase(std::remove(child_groups_.begin(), child_groups_.end(), group),
                        child_groups_.end());
}

void stop_signals::remove_if_ended_at_once(const std::string& path) {
    const std::lock_guard<std::mutex> lock(cleanup_mutex_);
    abandoned_files_.push_back(path);
}

void stop_signals::keep_if_ended_at_once(const std::string& path) {
    const std::lock_guard<std::mutex> lock(cleanup_mutex_);
    abandoned_files_.erase(std::remove(abandoned_files_.begin(), abandoned_files_.end(), path),
                           abandoned_files_.end());
}

void stop_signals::clean_up() {
    const std::lock_guard<std::mutex> lock(cleanup_mutex_);
    for (const pid_t group : child_groups_)
        ::kill(-group, SIGKILL);
    for (const std::string& path : abandoned_files_)
        ::unlink(path.c_str());
}

} // namespace shuffler
