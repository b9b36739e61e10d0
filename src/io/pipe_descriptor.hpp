#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdio>
#include <string>

namespace shuffler {

// An asynchronous descriptor on a pipe to or from a shell command, or on standard input or
// output. Closing it waits for the child and reports a non-zero exit status.
class pipe_descriptor {
public:
    explicit pipe_descriptor(boost::asio::io_context& io) : descriptor(io) {}
    pipe_descriptor(const pipe_descriptor&) = delete;
    pipe_descriptor& operator=(const pipe_descriptor&) = delete;
    ~pipe_descriptor() { close(); }

    // Starts `command` through the shell; mode "r" reads its output, "w" writes its input.
    void open_command(const std::string& command, const char* mode);
    // Wraps fd 0 or 1; a regular file (which epoll refuses) is relayed through a `cat` child.
    void open_stdio(int fd);
    // Waits for the child, if any; a non-zero status is reported as a failure of the run.
    void close();

    // "pipe command '<label>'": the subject of this channel's error lines.
    std::string description() const { return "pipe command '" + label + "'"; }

    boost::asio::posix::stream_descriptor descriptor;
    std::FILE* file = nullptr; // the popen stream, or null for standard input or output
    std::string label;         // "<command> |" or "| <command>"; empty for plain stdio
};

// Quotes `word` for the shell unless it is made only of characters the shell leaves alone, so
// ordinary file names keep their plain form in commands and labels.
std::string shell_quote(const std::string& word);

} // namespace shuffler
