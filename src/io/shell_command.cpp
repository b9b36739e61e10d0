#include "io/shell_command.hpp"

#include "core/report.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace shuffler {

namespace asio = boost::asio;

namespace {

// How long a child being stopped has after SIGTERM before SIGKILL, and after SIGKILL.
constexpr std::chrono::seconds stop_grace(5);
// How long an error waits for a child to end and explain it before stopping it.
constexpr std::chrono::seconds explanation_wait(5);

using clock = std::chrono::steady_clock;

// Tests set SHUFFLER_NO_PIDFD=1 to take the path of kernels without pidfd_open (Linux before
// 5.3): children are then waited for on SIGCHLD. Read once, when the first child starts.
bool pidfds_available() {
    static const bool available = [] {
        const char* forced = std::getenv("SHUFFLER_NO_PIDFD");
        if (forced && *forced && std::strcmp(forced, "0") != 0)
            return false;
        // The system call directly: the C library's header lacks C linkage in C++.
        const int fd = int(::syscall(SYS_pidfd_open, ::getpid(), 0));
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }();
    return available;
}

// Without pidfds, SIGCHLD tells the loop that some child ended: the handler writes a byte into
// this pipe, which the loop waits on. SA_RESTART, so the other threads' system calls go on.
int sigchld_pipe[2] = {-1, -1};

extern "C" void note_child_exit(int) {
    const int saved = errno;
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(sigchld_pipe[1], &byte, 1);
    errno = saved;
}

// Installed before the first child starts, so that no child's end goes unnoticed.
void install_sigchld_handler() {
    static const bool installed = [] {
        if (::pipe2(sigchld_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
            throw_system_error(errno);
        struct sigaction action = {};
        action.sa_handler = note_child_exit;
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigemptyset(&action.sa_mask);
        if (::sigaction(SIGCHLD, &action, nullptr) != 0)
            throw_system_error(errno);
        return true;
    }();
    (void)installed;
}

// The wait status of `pid` if it has ended (-1 when it cannot be waited for), else nothing.
std::optional<int> try_reap(pid_t pid, run_report& report) {
    int status = 0;
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            report.child_ended(pid);
            return status;
        }
        if (got == 0)
            return std::nullopt;
        if (errno != EINTR) {
            report.child_ended(pid);
            return -1;
        }
    }
}

// Waits, blocking, for `pid` to end until `until`, or until a stop is asked for when
// `give_up_on_stop`. Only for teardown, where no loop is held up.
std::optional<int> reap_before(pid_t pid, clock::time_point until, bool give_up_on_stop,
                               run_report& report) {
    for (;;) {
        if (const auto status = try_reap(pid, report))
            return status;
        if (clock::now() >= until || (give_up_on_stop && report.stop_signal() != 0))
            return std::nullopt;
        const timespec pause{0, 5000000}; // 5 ms
        ::nanosleep(&pause, nullptr);
    }
}

// Stops the child's process group (the shell and whatever it started): SIGTERM, then SIGKILL
// after the grace; waits a grace more for it to go. Never blocks longer than that.
void stop_child(pid_t pid, run_report& report) {
    ::kill(-pid, SIGTERM);
    if (reap_before(pid, clock::now() + stop_grace, false, report))
        return;
    ::kill(-pid, SIGKILL);
    reap_before(pid, clock::now() + stop_grace, false, report);
}

// A child at teardown, once the loop has stopped. While the run is going well it is waited for
// (an output command finishing its work decides the run) unless a stop is asked for meanwhile;
// after a failure or a stop, a child that has not ended yet is stopped. Returns its wait status,
// or nothing when it was stopped here (a failure of its own is then not its to report).
std::optional<int> reap_at_teardown(pid_t pid, run_report& report) {
    if (!report.failed() && report.stop_signal() == 0)
        if (const auto status = reap_before(pid, clock::time_point::max(), true, report))
            return status;
    if (const auto status = try_reap(pid, report))
        return status;
    stop_child(pid, report);
    return std::nullopt;
}

// Reports how a child ended, unless it ended cleanly or was cut off by a shutdown after an
// earlier failure; also while the loop is being destroyed. True when it reported.
bool report_exit(asio::io_context& io, const std::string& subject, int status) {
    const std::string how = describe_wait_status(status);
    if (how.empty() || (died_of_broken_pipe(status) && report_to(io).failed()))
        return false;
    report_failure(io, subject, how);
    return true;
}

// A child waited for on the loop: `ended` is called there with its wait status once it has
// ended. Whoever holds the last reference when the loop goes (a pending wait destroyed with it)
// settles the child at teardown instead and reports its failure.
struct watched_child {
    watched_child(asio::io_context& io, pid_t pid, std::string subject,
                  std::function<void(int)> ended)
        : io(io), pid(pid), subject(std::move(subject)), ended(std::move(ended)) {}
    watched_child(const watched_child&) = delete;
    watched_child& operator=(const watched_child&) = delete;
    ~watched_child() {
        if (pid > 0)
            if (const auto status = reap_at_teardown(pid, report_to(io)))
                report_exit(io, subject, *status);
    }
    // Calls `ended` if the child has ended; true then.
    bool settle() {
        const auto status = try_reap(pid, report_to(io));
        if (!status)
            return false;
        pid = -1;
        if (ended)
            std::exchange(ended, nullptr)(*status);
        return true;
    }
    asio::io_context& io;
    pid_t pid;
    std::string subject;
    std::function<void(int)> ended;
};

// Without pidfds: the children of one loop that are waited for, looked at whenever SIGCHLD
// comes. Held by its pending wait only, so it keeps the loop running just while a child is
// waited for, and goes with the loop.
struct sigchld_watch {
    explicit sigchld_watch(asio::io_context& io)
        : io(io), woken(io, ::fcntl(sigchld_pipe[0], F_DUPFD_CLOEXEC, 3)) {}
    asio::io_context& io;
    asio::posix::stream_descriptor woken;
    std::vector<std::shared_ptr<watched_child>> children;
    bool armed = false;
};

// The loop's watch while it has one: a service of the loop, so that it is the loop's, not the
// process's.
struct sigchld_watch_slot : asio::execution_context::service {
    static asio::execution_context::id id;
    explicit sigchld_watch_slot(asio::execution_context& owner) : service(owner) {}
    void shutdown() override {}
    std::weak_ptr<sigchld_watch> watch;
};
asio::execution_context::id sigchld_watch_slot::id;

void look_at_children(const std::shared_ptr<sigchld_watch>& watch) {
    char bytes[64];
    while (::read(sigchld_pipe[0], bytes, sizeof bytes) > 0) {
    }
    auto& children = watch->children;
    for (std::size_t i = 0; i < children.size();) {
        const std::shared_ptr<watched_child> child = children[i];
        if (child->pid > 0 && !child->settle()) {
            ++i;
            continue;
        }
        children.erase(children.begin() + std::ptrdiff_t(i));
    }
    if (children.empty() || watch->armed)
        return;
    watch->armed = true;
    watch->woken.async_wait(asio::posix::stream_descriptor::wait_read,
                            [watch](const boost::system::error_code& ec) {
                                watch->armed = false;
                                if (!ec)
                                    look_at_children(watch);
                            });
}

// Waits on the loop for `child` to end, through its pidfd when there is one.
void watch_child(asio::io_context& io, int pidfd, std::shared_ptr<watched_child> child) {
    if (pidfd >= 0) {
        auto exited = std::make_shared<asio::posix::stream_descriptor>(io, pidfd);
        exited->async_wait(asio::posix::stream_descriptor::wait_read,
                           [exited, child](const boost::system::error_code&) {
                               child->settle();
                           });
        return;
    }
    std::weak_ptr<sigchld_watch>& current = asio::use_service<sigchld_watch_slot>(io).watch;
    std::shared_ptr<sigchld_watch> watch = current.lock();
    if (!watch) {
        watch = std::make_shared<sigchld_watch>(io);
        current = watch;
    }
    watch->children.push_back(std::move(child));
    // It may have ended before it was watched: look now, on the loop.
    asio::post(io, [watch] { look_at_children(watch); });
}

} // namespace

void shell_command::start(const std::string& command, int theirs, bool to_us,
                          run_report& report) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs, to_us ? STDOUT_FILENO : STDIN_FILENO);
    // The command gets default SIGPIPE and SIGCHLD whatever this process inherited or set, and
    // no blocked signals (this process blocks SIGINT and SIGTERM to wait for them on a thread).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    // A process group of its own, so that stopping it reaches whatever the shell started too.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    const bool pidfds = pidfds_available();
    if (!pidfds)
        install_sigchld_handler();
    std::string shell = "sh", flag = "-c", text = command;
    char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(theirs);
    if (error != 0)
        throw_system_error(error);
    pid_ = pid;
    reads_from_us_ = !to_us;
    report.child_started(pid);
    // Readable once the child has ended; without it (kernels before 5.3) SIGCHLD tells.
    pidfd_ = pidfds ? int(::syscall(SYS_pidfd_open, pid, 0)) : -1;
}

void shell_command::stop_now(asio::io_context& io, const std::string& subject) {
    const pid_t pid = std::exchange(pid_, -1);
    if (const int pidfd = std::exchange(pidfd_, -1); pidfd >= 0)
        ::close(pidfd);
    if (const auto status = try_reap(pid, report_to(io)))
        report_exit(io, subject, *status);
    else
        stop_child(pid, report_to(io));
}

bool shell_command::hand_over(asio::io_context& io, const std::string& subject) {
    const pid_t pid = std::exchange(pid_, -1);
    const int pidfd = std::exchange(pidfd_, -1);
    if (io.stopped()) {
        // No loop left to wait on: this is teardown.
        if (pidfd >= 0)
            ::close(pidfd);
        const auto status = reap_at_teardown(pid, report_to(io));
        return status && report_exit(io, subject, *status);
    }
    watch_child(io, pidfd, std::make_shared<watched_child>(io, pid, subject, [&io, subject](int status) {
                    report_exit(io, subject, status);
                }));
    return false;
}

std::string shell_command::wait(asio::io_context& io, const std::string& subject,
                                const std::string& problem, const asio::yield_context& yield,
                                bool patient) {
    // A command read from dies of a broken pipe when its reader closes first; one written to
    // has no such excuse. Its failure explains the thread's.
    const auto how = [this, &problem](int status) {
        const std::string failed = died_of_broken_pipe(status) && !reads_from_us_
                                       ? std::string()
                                       : describe_wait_status(status);
        return failed.empty() ? problem : failed;
    };
    const pid_t pid = std::exchange(pid_, -1);
    const int pidfd = std::exchange(pidfd_, -1);
    if (io.stopped()) {
        if (pidfd >= 0)
            ::close(pidfd);
        const auto status = reap_at_teardown(pid, report_to(io));
        return status ? how(*status) : problem;
    }
    // The child's status, once it has ended, wakes the timer.
    struct waiting {
        explicit waiting(asio::io_context& io) : timer(io) {}
        asio::steady_timer timer;
        std::optional<int> status;
    };
    const auto state = std::make_shared<waiting>(io);
    watch_child(io, pidfd, std::make_shared<watched_child>(io, pid, subject, [state](int status) {
                    state->status = status;
                    state->timer.cancel();
                }));
    if (patient) {
        state->timer.expires_at(clock::time_point::max());
        boost::system::error_code ec;
        state->timer.async_wait(yield[ec]);
    } else {
        // An impatient wait stops a child that does not end on its own; it has nothing to
        // explain then, and its death by our signal is no failure of its own.
        const int signals[] = {0, SIGTERM, SIGKILL};
        for (const int signal : signals) {
            if (state->status)
                return how(*state->status);
            if (signal != 0)
                ::kill(-pid, signal);
            state->timer.expires_after(signal == 0 ? clock::duration(explanation_wait)
                                                   : clock::duration(stop_grace));
            boost::system::error_code ec;
            state->timer.async_wait(yield[ec]);
            if (state->status && signal != 0)
                return problem;
        }
    }
    if (!state->status)
        return problem; // still going: teardown settles it
    return how(*state->status);
}

std::string describe_wait_status(int status) {
    if (status == -1)
        return "could not be waited for";
    int signal = 0;
    if (WIFSIGNALED(status)) {
        signal = WTERMSIG(status);
    } else if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == 0)
            return "";
        if (code <= 128 || code - 128 >= NSIG)
            return "exited with status " + std::to_string(code);
        signal = code - 128;
    } else {
        return "ended with wait status " + std::to_string(status);
    }
    const char* name = ::sigabbrev_np(signal);
    return "killed by signal " + (name ? "SIG" + std::string(name) : std::to_string(signal));
}

bool died_of_broken_pipe(int status) {
    return status != -1 && ((WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) ||
                             (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGPIPE));
}

std::string shell_quote(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_-./+,=:@%") == std::string::npos;
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace shuffler
