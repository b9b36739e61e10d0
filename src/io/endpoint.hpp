#pragma once

#include "io/byte_ring.hpp"
#include "io/shell_command.hpp"
#include "io/file_pump.hpp"
#include "io/file_stream.hpp"
#include "io/std_stream.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include "core/coroutine.hpp"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace shuffler {

// One end of the data's way through this process, as the loop sees it: a descriptor on a pipe to
// or from a shell command (a shell_command), on a file (moved by a file_stream's thread where
// epoll cannot wait on the file, or into a record reader's ring), or on standard input or output
// (a std_stream). Closing it settles what drives it: the child is waited for without blocking
// the loop, and how it or the file's thread failed is reported.
class endpoint {
public:
    explicit endpoint(boost::asio::io_context& io) : descriptor(io) {}
    endpoint(const endpoint&) = delete;
    endpoint& operator=(const endpoint&) = delete;
    ~endpoint() { static_cast<void>(close()); }

    // Starts `command` through the shell; mode "r" reads its output, "w" writes its input.
    void open_command(const std::string& command, const char* mode);
    // Starts `command` through the shell to take what is written here on its standard input:
    // as it is for job::write, or encoded as BAM by a file_pump's thread for job::write_bam.
    void open_output_command(const std::string& command, file_pump::job what);
    // Wraps fd 0 or 1, widening it if it is a pipe; a regular file or device (on which epoll
    // cannot wait) is moved through a pipe by a file_pump. Its file status flags are put back when
    // the descriptor is closed, so the next program sharing the stream does not find it
    // non-blocking. With `ring`, see open_file.
    // With job::read_hts (and a ring) or job::write_bam, a file_pump decodes or encodes the
    // stream with htslib whatever it is.
    void open_stdio(int fd, byte_ring* ring = nullptr,
                    file_pump::job what = file_pump::job::read);
    // Opens the file `path` to read, to read decompressed, or to write (created or truncated).
    // A regular file or device is moved by a file_pump, a FIFO by a `cat` child, and anything
    // else epoll accepts is used directly. A gzip input "" is standard input. With `ring` (a
    // record reader's buffer), a regular file read goes straight into the ring, and `descriptor`
    // is then the ring's wakeup_fd(): see fills().
    void open_file(const std::string& path, file_pump::job what, byte_ring* ring = nullptr);
    // The same for a file the caller has opened itself (`fd`, taken over), named `path`.
    void adopt_file(int fd, file_pump::job what, const std::string& path,
                    byte_ring* ring = nullptr);

    // Decodes with htslib, into `ring`, the stream `fd` (taken over) after the `prefix` already
    // read from it: a relay thread sends the prefix, then the rest of the stream.
    void open_decoded_after(int fd, std::string prefix, byte_ring* ring);

    // True when a file's thread writes into `ring`: the reader then waits on the ring instead of
    // reading `descriptor`.
    bool fills(const byte_ring& ring) const { return file_.fills(ring); }

    // Closes this end. The child, if any, is then waited for in the background and a failure
    // is reported as a failure of the run, except a death by SIGPIPE after an earlier failure:
    // shutting down cut that child off. Once the loop has stopped (teardown), a run going well
    // waits for the child unless a stop is asked for; otherwise the child's process group is
    // stopped (SIGTERM, then SIGKILL after a grace) and nothing waits longer than that; a
    // command written to is stopped before its input is closed, so that it never takes what it
    // got for the whole of it. A
    // file_pump is joined at once (closing this end ended or cut off its work) and its problem
    // reported. True when it reported a failure then (a child's failure reported later, on the
    // loop, does not count).
    bool close();

    // Closes this end and waits, without blocking the loop, for the child to end. Returns how it
    // failed ("exited with status 1", "killed by signal SIGKILL"), or "" when it exited with 0,
    // when there is no child, or when a command whose output was read died of a broken pipe,
    // which closing first causes (a command written to has no such excuse). For a file moved by
    // a file_pump: its problem ("truncated gzip data: ..."), or ""; a command's failure says
    // more than the problem of the thread writing into it. A `patient` wait waits as long as the
    // child runs (its status decides the run); otherwise a child that has not ended after a few
    // seconds is stopped as at teardown, and "" returned.
    std::string close_and_wait(const boost::asio::yield_context& yield, bool patient = false);

    // The subject of this channel's error lines: "pipe command '<label>'", "stdin" or "stdout", or
    // the file's name.
    std::string description() const;

    boost::asio::posix::stream_descriptor descriptor;
    std::string label; // "<command> |" or "| <command>", the file; empty for plain stdio

private:
    void close_descriptor();
    void start_pump(int file, file_pump::job what, const std::string& name,
                    byte_ring* ring = nullptr);

    shell_command child_; // the command, when this is a pipe to or from one
    file_stream file_;    // the thread moving a file, when one does
    std_stream stdio_;    // the standard stream, when this is one
    bool named_file_ = false; // this reads or writes a named file: errors name it
};

// Reports `error`, raised while `pipes` were in use, under `subject` (silent ends as `silent`
// says), except that a child which failed explains whatever its output looked like: then its
// failure alone is reported, as "<its description>: <how it failed>". Each pipe is closed and
// its child waited for first, unless the error is a cancellation. A null `error` is a clean end
// of input: the children are waited for however long they take, and only a failure of theirs
// is reported, so that nothing counts an input as complete before its command has succeeded.
void report_pipe_error(boost::asio::io_context& io, const std::string& subject,
                       std::exception_ptr error, const std::vector<endpoint*>& pipes,
                       bool end_of_stream_is_silent, const boost::asio::yield_context& yield);

} // namespace shuffler
