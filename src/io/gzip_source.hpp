#pragma once

#include <string>
#include <thread>

namespace shuffler {

// Decompresses one gzip input on a thread of its own and writes the bytes into a pipe, whose read
// end the event loop reads like any other pipe. Every member of a multi-member file (concatenated
// gzip, BGZF) is read. The thread touches only the input, its inflate state and the pipe's write
// end; it closes the write end when it stops, so end of file on the read end means "stopped", and
// finish() says whether that was the real end.
class gzip_source {
  public:
    // Takes ownership of `input` (a file or standard input) and starts the thread. `name` names
    // the input in problems (for error lines only; the thread never opens it).
    gzip_source(int input, std::string name);
    gzip_source(const gzip_source&) = delete;
    gzip_source& operator=(const gzip_source&) = delete;
    // Closes the read end if still held, then joins the thread.
    ~gzip_source();

    // The pipe's read end, handed over once: the caller closes it.
    int take_read_end();

    // Waits for the thread and returns what went wrong ("truncated gzip data: ..."), or "" when
    // every member was decompressed and written, or when the reader closed its end first (which
    // cut the thread off). Call after the read end is closed or has reached end of file, or this
    // waits until it does.
    std::string finish();

  private:
    void run();
    std::string decompress(); // the thread's work; its problem, or ""

    int input_;
    int read_end_ = -1;
    int write_end_ = -1;
    std::string name_;
    std::string problem_; // written by the thread before it ends, read only after join
    std::thread thread_;
};

} // namespace shuffler
