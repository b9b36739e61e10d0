#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace shuffler_test {

// How a child's standard input is provided.
struct child_input {
    enum kind { null_device, file, pipe } how = null_device;
    std::string path; // for `file`: a regular file opened as fd 0
    std::string data; // for `pipe`: written to the child through a pipe, then closed; the
                      // writing starts when wait() is called, not before
};

// How a child's standard output is taken.
struct child_output {
    // file: collected into child_result::out. pipe: the test reads it through output_reader()
    // (and may close it early); child_result::out stays empty.
    enum kind { file, pipe } how = file;
};

struct child_result {
    int exit_status = -1; // exit code, or 128 + signal number
    bool timed_out = false;
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
};

// A process started from argv (argv[0] is the program path). Output goes to files, so any
// number of children may run at once without blocking on a full pipe.
class child_process {
public:
    child_process(std::vector<std::string> argv, child_input input = {},
                  child_output output = {});
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process(); // kills the child if it is still running

    // Waits at most `limit`; a child still running then is killed and marked timed out.
    child_result wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    int pid() const { return pid_; }
    // The reading end of the child's standard output for child_output::pipe, else -1.
    int output_reader() const { return output_reader_; }
    // Closes that reading end, so the child's further writes fail with a broken pipe.
    void close_output_reader();

private:
    int pid_ = -1;
    std::string out_path_, err_path_;
    int pipe_writer_ = -1;
    int output_reader_ = -1;
    std::string pipe_data_;
    bool waited_ = false;
    child_result result_;
};

// Runs argv to completion (bounded by `limit`).
child_result run(std::vector<std::string> argv, child_input input = {},
                 std::chrono::milliseconds limit = std::chrono::seconds(60));

// The shuffler binary under test, and argv starting with it.
std::string shuffler_binary();
std::vector<std::string> shuffler(std::vector<std::string> args);

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();
// Waits until something listens on `port` (read from /proc/net/tcp, without connecting).
bool wait_listening(int port, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A fresh empty directory for one test, removed by the destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

// Removes the notice an ASan build prints once when an exception leaves a coroutine's stack
// (it cannot see the stack switch); the notice is not the program's output.
std::string without_sanitizer_notes(const std::string& err);

// Strips the two timing lines ("real ..." and "children user ...") from a process's stderr.
std::string without_timing(const std::string& err);

} // namespace shuffler_test
