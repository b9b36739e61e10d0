#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace shuffler_test {

// A fresh empty directory, removed with its contents by the destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child's standard input: /dev/null, the file named `text`, or `text` fed through a pipe
// from wait() on.
struct child_input {
    enum kind { null_device, file, pipe } how = null_device;
    std::string text;
};

struct child_result {
    int exit_status = -1; // exit code, or 128 + signal number (137: killed at its bound)
    std::string out, err;
};

// A process started from argv (argv[0] is the program path). Its output goes to files, so any
// number of children may run at once, unless `piped_output`: then the test reads it through
// output_reader() and child_result::out stays empty. With a `group` of 0 it leads a new process
// group, with a pid it joins that one's group (so that a test can signal a whole job); by
// default it stays in the test's.
class child_process {
public:
    child_process(std::vector<std::string> argv, child_input input = {}, bool piped_output = false,
                  int group = -1);
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process(); // kills the child if it still runs

    // Waits at most `limit`, then kills the child.
    child_result wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    int output_reader() const { return output_reader_; } // closed by wait()
    // A descriptor of the caller's own on the piped output, which wait() leaves open: a reader on
    // another thread gets everything up to the end, whenever the child is waited for. The caller
    // closes it.
    int own_output_reader() const;
    void signal(int number) const; // sends the child a signal
    int pid() const { return pid_; }
    void close_output_reader(); // the child's further writes then fail with a broken pipe

private:
    temp_dir files_; // the child's standard output and error
    int pid_ = -1, pipe_writer_ = -1, output_reader_ = -1;
    std::string pipe_data_;
    bool waited_ = false;
    child_result result_;
};

child_result run(std::vector<std::string> argv, child_input input = {},
                 std::chrono::milliseconds limit = std::chrono::seconds(60));

std::string shuffler_binary();
std::vector<std::string> shuffler(std::vector<std::string> args); // argv of the binary

// A loopback TCP socket connected to `peer_port`, or for 0 listening on a fresh port; its own
// port goes to `own_port`.
int loopback_socket(int peer_port, int& own_port);
std::string loopback(int port); // "127.0.0.1:<port>"
// What a listener is told to listen on: a loopback port the system picks, so that tests running
// at once never race for one. Its address comes back through --port-file (listener_address).
inline const std::string any_loopback_port = "127.0.0.1:0";

// A loopback port held bound but not listening, for as long as the object lives: a connection to
// it is refused, and no other test can take it in the meantime. A listener of ours, which binds
// with SO_REUSEADDR, can still bind it (a connector then finds it listening).
class reserved_port {
public:
    reserved_port();
    reserved_port(const reserved_port&) = delete;
    reserved_port& operator=(const reserved_port&) = delete;
    ~reserved_port();
    int port() const { return port_; }
    std::string address() const { return loopback(port_); }

private:
    int fd_ = -1, port_ = 0;
};

// The text a listener wrote to its --port-file `path` (renamed into place, so whole once there),
// waiting for it at most `limit`; "" if it never came.
std::string port_file_text(const std::string& path,
                           std::chrono::milliseconds limit = std::chrono::seconds(60));
// The address ("host:port", the first line) in that file; "" if it never came.
std::string listener_address(const std::string& path,
                             std::chrono::milliseconds limit = std::chrono::seconds(60));
// The port of an address "host:port"; 0 if there is none.
int port_of(const std::string& address);

// Counts the opens of the file at `path` from its construction on (through inotify): how a test
// sees that a process has read a file, and read it again.
class open_watch {
public:
    explicit open_watch(const std::string& path);
    open_watch(const open_watch&) = delete;
    open_watch& operator=(const open_watch&) = delete;
    ~open_watch();
    // Whether the file has been opened `times` times in all, waiting at most `limit`.
    bool opened(int times, std::chrono::milliseconds limit = std::chrono::seconds(60));

private:
    int fd_ = -1;
    bool watching_ = false;
    int seen_ = 0;
};

// Writes until done or the reader has gone (a broken pipe is an error, not a signal).
void write_all(int fd, const std::string& data);
// Whether `fd` has something to read (or has reached its end) within `limit`.
bool readable(int fd, std::chrono::milliseconds limit);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// Waits until `condition` holds, at most `bound`.
template <class Condition> bool eventually(Condition condition, std::chrono::seconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Drops the notice an ASan build prints when an exception leaves a coroutine's stack.
std::string without_sanitizer_notes(const std::string& err);
// Drops the two timing lines ("real ..." and "children user ...") of a run's report.
std::string without_timing(const std::string& err);

} // namespace shuffler_test
