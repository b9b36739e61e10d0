#pragma once

// A second local account, for the end-to-end tests of what another user of the same machine can
// do to a job. Making one needs root (as in CI) and useradd; a test skips without them.

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace shuffler_test {

class other_user {
public:
    // A new account with a name no other test process uses at the same time.
    other_user() {
        static std::atomic<int> made{0};
        if (::geteuid() != 0) {
            why_not_ = "a second local user needs root";
            return;
        }
        for (const char* tool : {useradd, userdel, setpriv})
            if (::access(tool, X_OK) != 0) {
                why_not_ = std::string("a second local user needs ") + tool;
                return;
            }
        remove_left_over();
        name_ = prefix + std::to_string(::getpid()) + "x" + std::to_string(made++);
        // useradd waits for the password file's lock, but another tool may hold it briefly.
        child_result r;
        for (int attempt = 0; attempt < 5; ++attempt) {
            r = run({useradd, "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                     name_});
            if (r.exit_status == 0 || ::getpwnam(name_.c_str()))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        const passwd* entry = ::getpwnam(name_.c_str());
        if (!entry) {
            why_not_ = "cannot create a local user: " + r.err;
            name_.clear();
            return;
        }
        uid_ = entry->pw_uid;
        gid_ = entry->pw_gid;
    }
    ~other_user() {
        if (!name_.empty())
            run({userdel, name_});
    }
    other_user(const other_user&) = delete;
    other_user& operator=(const other_user&) = delete;

    bool made() const { return !name_.empty(); }
    const std::string& why_not() const { return why_not_; }
    const std::string& name() const { return name_; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    // How its owner is named in shuffler's lines.
    std::string described() const {
        return "user " + name_ + " (uid " + std::to_string(uid_) + ")";
    }

    // `argv` run as this user, with no supplementary groups.
    std::vector<std::string> as(const std::vector<std::string>& argv) const {
        std::vector<std::string> full = {setpriv, "--reuid=" + std::to_string(uid_),
                                         "--regid=" + std::to_string(gid_), "--clear-groups",
                                         "--"};
        full.insert(full.end(), argv.begin(), argv.end());
        return full;
    }
    // A shell command run as this user, for the steps of an attack.
    child_result sh(const std::string& command) const { return run(as({"/bin/sh", "-c", command})); }

    // The shell words that run `command` as this user, inside another shell's command.
    std::string sh_prefix() const {
        return std::string(setpriv) + " --reuid=" + std::to_string(uid_) +
               " --regid=" + std::to_string(gid_) + " --clear-groups -- ";
    }

private:
    // Accounts of test processes that were killed before removing theirs.
    static void remove_left_over() {
        std::ifstream accounts("/etc/passwd");
        std::string line;
        std::vector<std::string> stale;
        while (std::getline(accounts, line)) {
            const std::string name = line.substr(0, line.find(':'));
            if (name.compare(0, prefix.size(), prefix) != 0)
                continue;
            const std::string pid = name.substr(prefix.size(), name.find('x') - prefix.size());
            if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
                continue;
            if (::kill(std::stoi(pid), 0) != 0 && errno == ESRCH)
                stale.push_back(name);
        }
        for (const std::string& name : stale)
            run({userdel, name});
    }

    static inline const std::string prefix = "shtest";
    static constexpr const char* useradd = "/usr/sbin/useradd";
    static constexpr const char* userdel = "/usr/sbin/userdel";
    static constexpr const char* setpriv = "/usr/bin/setpriv";
    std::string name_, why_not_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// A folder everyone may write in `dir` (made reachable), like a group project folder; with
// `sticky`, like /tmp.
inline std::string shared_folder(const temp_dir& dir, bool sticky = false) {
    ::chmod(dir.file("").c_str(), 0755);
    const std::string path = dir.file("shared");
    ::mkdir(path.c_str(), 0777);
    ::chmod(path.c_str(), sticky ? 01777 : 0777);
    return path;
}

} // namespace shuffler_test
