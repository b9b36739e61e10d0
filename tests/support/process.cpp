#include "support/process.hpp"

#include "support/write_all.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace shuffler_test {

namespace {

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string(what) + " failed");
}

// `text` without the lines for which `drop` holds.
template <class Drop> std::string filter_lines(const std::string& text, Drop drop) {
    std::istringstream lines(text);
    std::string line, kept;
    while (std::getline(lines, line))
        if (!drop(line))
            kept += line + (lines.eof() ? "" : "\n");
    return kept;
}

} // namespace

child_process::child_process(std::vector<std::string> argv, child_input input, bool piped_output,
                             int group) {
    // Close-on-exec, so children started later do not hold this child's pipes open.
    int in_fds[2] = {-1, -1}, out_fds[2] = {-1, -1};
    if (input.how == child_input::pipe)
        check(::pipe2(in_fds, O_CLOEXEC) == 0, "pipe");
    if (piped_output)
        check(::pipe2(out_fds, O_CLOEXEC) == 0, "pipe");
    const std::string in_path = input.how == child_input::file ? input.text : "/dev/null";
    const std::string out_path = files_.file("out"), err_path = files_.file("err");
    pid_ = fork();
    check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        if (group >= 0)
            ::setpgid(0, group);
        const int in =
            input.how == child_input::pipe ? in_fds[0] : ::open(in_path.c_str(), O_RDONLY);
        const int out = piped_output ? out_fds[1] : ::creat(out_path.c_str(), 0600);
        const int err = ::creat(err_path.c_str(), 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (group >= 0)
        ::setpgid(pid_, group); // also here: a signal sent at once must find the group made
    if (input.how == child_input::pipe) {
        ::close(in_fds[0]);
        pipe_writer_ = in_fds[1];
        pipe_data_ = std::move(input.text);
    }
    if (piped_output) {
        ::close(out_fds[1]);
        output_reader_ = out_fds[0];
    }
}

void child_process::close_output_reader() {
    if (output_reader_ >= 0)
        ::close(output_reader_);
    output_reader_ = -1;
}

void child_process::signal(int number) const { ::kill(pid_, number); }

int child_process::own_output_reader() const {
    const int fd = ::fcntl(output_reader_, F_DUPFD_CLOEXEC, 0);
    check(fd >= 0, "duplicating the output reader");
    return fd;
}

child_process::~child_process() { wait(std::chrono::milliseconds(0)); }

child_result child_process::wait(std::chrono::milliseconds limit) {
    if (waited_)
        return result_;
    waited_ = true;
    // A thread feeds piped input: the child may read slowly or not at all.
    std::thread writer;
    if (pipe_writer_ >= 0)
        writer = std::thread([fd = pipe_writer_, data = std::move(pipe_data_)] {
            write_all(fd, data);
            ::close(fd);
        });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (writer.joinable())
        writer.join();
    close_output_reader();
    result_.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result_.out = read_file(files_.file("out"));
    result_.err = without_sanitizer_notes(read_file(files_.file("err")));
    return result_;
}

void write_all(int fd, const std::string& data) {
    signal(SIGPIPE, SIG_IGN);
    write_all(fd, data.data(), data.size());
}

child_result run(std::vector<std::string> argv, child_input input,
                 std::chrono::milliseconds limit) {
    return child_process(std::move(argv), std::move(input)).wait(limit);
}

std::string shuffler_binary() { return SHUFFLER_BINARY; }

std::vector<std::string> shuffler(std::vector<std::string> args) {
    args.insert(args.begin(), shuffler_binary());
    return args;
}

int loopback_socket(int peer_port, int& own_port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(peer_port));
    socklen_t len = sizeof addr;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    const int ready = peer_port ? ::connect(fd, a, len) : ::bind(fd, a, len) + ::listen(fd, 4);
    check(fd >= 0 && ready == 0 && ::getsockname(fd, a, &len) == 0, "loopback socket");
    own_port = ntohs(addr.sin_port);
    return fd;
}

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

reserved_port::reserved_port() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto* a = reinterpret_cast<sockaddr*>(&addr);
    check(fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              ::bind(fd_, a, len) == 0 && ::getsockname(fd_, a, &len) == 0,
          "reserving a port");
    port_ = ntohs(addr.sin_port);
}

reserved_port::~reserved_port() { ::close(fd_); }

std::string port_file_text(const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        const std::string text = read_file(path);
        if (!text.empty())
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return "";
}

std::string listener_address(const std::string& path, std::chrono::milliseconds limit) {
    const std::string text = port_file_text(path, limit);
    return text.substr(0, text.find('\n'));
}

int port_of(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(address.c_str() + colon + 1);
}

open_watch::open_watch(const std::string& path) : fd_(::inotify_init1(IN_CLOEXEC)) {
    watching_ = fd_ >= 0 && ::inotify_add_watch(fd_, path.c_str(), IN_OPEN) >= 0;
}

open_watch::~open_watch() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool open_watch::opened(int times, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (watching_ && seen_ < times) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(fd_, left))
            break;
        alignas(inotify_event) char events[4096];
        const ssize_t got = ::read(fd_, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            seen_ += (e->mask & IN_OPEN) != 0;
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    return seen_ >= times;
}

bool readable(int fd, std::chrono::milliseconds limit) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, int(limit.count())) > 0;
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/shuffler-test-dir-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    check(bool(out << data), ("writing " + path).c_str());
}

std::string without_sanitizer_notes(const std::string& err) {
    return filter_lines(err, [](const std::string& line) {
        for (const char* n :
             {"ASan is ignoring requested __asan_handle_no_return",
              "False positive error reports may follow", "google/sanitizers/issues/189"})
            if (line.find(n) != std::string::npos)
                return true;
        return false;
    });
}

std::string without_timing(const std::string& err) {
    return filter_lines(err, [](const std::string& line) {
        return line.rfind("real ", 0) == 0 || line.rfind("children user ", 0) == 0;
    });
}

} // namespace shuffler_test
