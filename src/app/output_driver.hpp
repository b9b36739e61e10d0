#pragma once

#include "io/pipe_descriptor.hpp"

#include <boost/asio/io_context.hpp>

#include <string>
#include <vector>

namespace shuffler {

// The output side's destination: standard output, or the file named on the command line. A
// regular file is written under a temporary name in its folder and takes its name only when the
// run has succeeded, so a failed worker leaves no partial FILE and an existing FILE stays as it
// was. Anything else that exists (a device, a FIFO, a symbolic link) is written in place.
class output_target {
public:
    // Refuses an unknown output format ("text", "fastq" and "sam" all write payloads unchanged).
    output_target(boost::asio::io_context& io, const std::vector<std::string>& files,
                  const std::string& format);
    output_target(const output_target&) = delete;
    output_target& operator=(const output_target&) = delete;
    // Removes the temporary file if finish() has not kept it.
    ~output_target();

    // Opens standard output, or the file (its temporary name) to be written directly.
    void open();
    // Closes the output. With `keep`, and when closing reported no failure, the temporary file
    // is flushed to disk and becomes FILE; otherwise it is removed. Does nothing after
    // finish_before_acknowledging.
    void finish(bool keep);
    // The same at the end of data, before it is acknowledged, on the loop: waits for the output's
    // writer, then flushes and renames. Returns what failed, or "".
    std::string finish_before_acknowledging(const boost::asio::yield_context& yield);

    pipe_descriptor& pipe() { return pipe_; }
    // The subject of the output's error lines: "standard output" or the file's name.
    const std::string& label() const { return label_; }

private:
    boost::asio::io_context& io_;
    pipe_descriptor pipe_;
    std::string file_;      // FILE; empty for standard output
    std::string temporary_; // where a regular FILE is written until the run succeeds
    std::string label_;
    bool finished_ = false; // finish_before_acknowledging has run

    // Flushes the temporary file, renames it FILE and flushes the folder; returns what failed.
    std::string settle();
};

} // namespace shuffler
