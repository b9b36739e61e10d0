#include "core/interruption.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace shuffler {

namespace {

std::atomic<int> first_stop_signal{0};
std::mutex state_mutex;
std::vector<std::string>& abandoned_files() {
    static std::vector<std::string> files;
    return files;
}
std::vector<pid_t>& child_groups() {
    static std::vector<pid_t> groups;
    return groups;
}

} // namespace

std::string interrupted_by(int signal) {
    return std::string("interrupted by SIG") + ::sigabbrev_np(signal);
}

bool request_stop(int signal) {
    int none = 0;
    return first_stop_signal.compare_exchange_strong(none, signal);
}

int stop_signal() { return first_stop_signal.load(); }

void remove_if_ended_at_once(const std::string& path) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    abandoned_files().push_back(path);
}

void keep_if_ended_at_once(const std::string& path) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    auto& files = abandoned_files();
    files.erase(std::remove(files.begin(), files.end(), path), files.end());
}

void remove_abandoned_files() {
    const std::lock_guard<std::mutex> lock(state_mutex);
    for (const std::string& path : abandoned_files())
        ::unlink(path.c_str());
}

void add_child_group(pid_t group) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    child_groups().push_back(group);
}

void remove_child_group(pid_t group) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    auto& groups = child_groups();
    groups.erase(std::remove(groups.begin(), groups.end(), group), groups.end());
}

void kill_child_groups() {
    const std::lock_guard<std::mutex> lock(state_mutex);
    for (const pid_t group : child_groups())
        ::kill(-group, SIGKILL);
}

} // namespace shuffler
