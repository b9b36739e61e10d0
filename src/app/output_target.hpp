#pragma once

#include "app/options.hpp"
#include "io/endpoint.hpp"

#include <boost/asio/io_context.hpp>

#include <string>
#include <vector>

namespace shuffler {

// The output side's destination: standard output, the file named on the command line, or the
// standard input of a shell command named "| COMMAND". A regular file is written under a new
// private name in its folder and takes its name only when the run has succeeded, so a failed
// worker leaves no partial FILE and an existing FILE stays as it was; a symbolic link's target is
// replaced the same way. Anything else that exists (a device, a FIFO) is written in place. A
// command runs from start-up, in a process group of its own; the run succeeds only if it exits
// 0, and a run that fails or is stopped ends it.
class output_target {
public:
    // Refuses an unknown output format ("text", "fastq" and "sam" all write payloads unchanged;
    // "bam" encodes the SAM text received as BAM, by a thread with htslib).
    output_target(boost::asio::io_context& io, const std::vector<std::string>& files,
                  data_format format);
    output_target(const output_target&) = delete;
    output_target& operator=(const output_target&) = delete;
    // Removes the temporary file if finish() has not kept it.
    ~output_target();

    // Opens standard output, or the file (its temporary name) to be written directly. Throws
    // std::runtime_error or std::system_error when that fails.
    void open();
    // Closes the output. With `keep`, and when closing reported no failure, the temporary file
    // takes the mode the umask gives new files, is flushed to disk and becomes FILE (or the
    // target of its link); otherwise it is removed. Does nothing after
    // finish_before_acknowledging.
    void finish(bool keep);
    // The same at the end of data, before it is acknowledged, on the loop: waits for the output's
    // writer, then flushes and renames. Returns what failed, or "".
    std::string finish_before_acknowledging(const boost::asio::yield_context& yield);

    endpoint& pipe() { return pipe_; }
    // The subject of the output's error lines: "standard output", the file's name, or
    // "pipe command '| COMMAND'".
    const std::string& label() const { return label_; }

private:
    boost::asio::io_context& io_;
    endpoint pipe_;
    std::string file_;      // FILE; empty for standard output and a command
    std::string command_;   // COMMAND of an output "| COMMAND"; empty for any other
    std::string final_;     // the file a regular FILE or a link to one replaces
    std::string temporary_; // where that file is written until the run succeeds
    int mode_fd_ = -1;      // the temporary file, to give it its final mode and flush it
    std::string label_;
    bool finished_ = false; // finish_before_acknowledging has run

    // Gives the temporary file its mode, flushes it, renames it over the target and flushes the
    // folder; returns what failed.
    std::string settle();
    file_pump::job job_ = file_pump::job::write; // how the output's thread writes the file
};

} // namespace shuffler
