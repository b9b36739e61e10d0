#include "support/process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace shuffler_test {

namespace {

std::string make_temp(const char* pattern_suffix) {
    std::string pattern = std::string("/tmp/shuffler-test-") + pattern_suffix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const int fd = mkstemp(buf.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    ::close(fd);
    return buf.data();
}

} // namespace

child_process::child_process(std::vector<std::string> argv, child_input input,
                             child_output output) {
    out_path_ = make_temp("out");
    err_path_ = make_temp("err");
    int pipe_fds[2] = {-1, -1};
    // Close-on-exec, so children started later do not hold this child's pipes open.
    if (input.how == child_input::pipe && ::pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int out_fds[2] = {-1, -1};
    if (output.how == child_output::pipe && ::pipe2(out_fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int in = -1;
        if (input.how == child_input::pipe) {
            in = pipe_fds[0];
            ::close(pipe_fds[1]);
        } else {
            in = ::open(input.how == child_input::file ? input.path.c_str() : "/dev/null", O_RDONLY);
        }
        const int out = output.how == child_output::pipe
                            ? out_fds[1]
                            : ::open(out_path_.c_str(), O_WRONLY | O_TRUNC);
        const int err = ::open(err_path_.c_str(), O_WRONLY | O_TRUNC);
        if (in < 0 || out < 0 || err < 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (input.how == child_input::pipe) {
        ::close(pipe_fds[0]);
        pipe_writer_ = pipe_fds[1];
        pipe_data_ = std::move(input.data);
    }
    if (output.how == child_output::pipe) {
        ::close(out_fds[1]);
        output_reader_ = out_fds[0];
    }
}

void child_process::close_output_reader() {
    if (output_reader_ >= 0)
        ::close(output_reader_);
    output_reader_ = -1;
}

child_process::~child_process() {
    if (!waited_)
        wait(std::chrono::milliseconds(0));
}

child_result child_process::wait(std::chrono::milliseconds limit) {
    if (waited_)
        return result_;
    waited_ = true;
    // Feed a piped standard input from a thread: the child may read slowly or not at all.
    std::thread writer;
    if (pipe_writer_ >= 0) {
        writer = std::thread([fd = pipe_writer_, data = std::move(pipe_data_)] {
            signal(SIGPIPE, SIG_IGN);
            std::size_t done = 0;
            while (done < data.size()) {
                const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
                if (n <= 0)
                    break;
                done += std::size_t(n);
            }
            ::close(fd);
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result_.timed_out = true;
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
    result_.out = read_file(out_path_);
    result_.err = without_sanitizer_notes(read_file(err_path_));
    ::unlink(out_path_.c_str());
    ::unlink(err_path_.c_str());
    return result_;
}

child_result run(std::vector<std::string> argv, child_input input,
                 std::chrono::milliseconds limit) {
    child_process child(std::move(argv), std::move(input));
    return child.wait(limit);
}

std::string shuffler_binary() { return SHUFFLER_BINARY; }

std::vector<std::string> shuffler(std::vector<std::string> args) {
    args.insert(args.begin(), shuffler_binary());
    return args;
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot find a free port");
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool wait_listening(int port, std::chrono::milliseconds limit) {
    char needle[16];
    std::snprintf(needle, sizeof needle, ":%04X ", port);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::istringstream lines(read_file(table));
            std::string line;
            while (std::getline(lines, line)) {
                // local_address is the second column, state the fourth; 0A is LISTEN.
                std::istringstream fields(line);
                std::string slot, local, remote, state;
                fields >> slot >> local >> remote >> state;
                if (state == "0A" && (local + " ").find(needle) != std::string::npos)
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/shuffler-test-dir-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string without_sanitizer_notes(const std::string& err) {
    static const char* const notice[] = {"WARNING: ASan is ignoring requested __asan_handle_no_return",
                                         "False positive error reports may follow",
                                         "For details see https://github.com/google/sanitizers/issues/189"};
    std::istringstream lines(err);
    std::string line, kept;
    while (std::getline(lines, line)) {
        bool drop = false;
        for (const char* n : notice)
            drop = drop || line.find(n) != std::string::npos;
        if (!drop)
            kept += line + (lines.eof() ? "" : "\n");
    }
    return kept;
}

std::string without_timing(const std::string& err) {
    std::istringstream lines(err);
    std::string line, kept;
    while (std::getline(lines, line)) {
        if (line.rfind("real ", 0) == 0 || line.rfind("children user ", 0) == 0)
            continue;
        kept += line + "\n";
    }
    return kept;
}

} // namespace shuffler_test
