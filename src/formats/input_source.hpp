#pragma once

#include "io/record_reader.hpp"

#include <boost/asio/io_context.hpp>

#include <string>

namespace shuffler {

// Opens `reader` on an input named on the command line, and names it for error lines: standard
// input for "" or "-" ("stdin"); the output of a shell command for a name ending in '|'; "*.gz"
// decompressed by a thread of its own; any other file read directly (see open_file). With
// `decode`, a file or standard input holds SAM, BAM or CRAM that a thread decodes with htslib
// into SAM text.
void open_input(record_reader& reader, const std::string& name, boost::asio::io_context& io,
                bool decode = false);

// After `old`'s first bytes showed BAM or CRAM where SAM text was expected: opens `fresh` on
// the same input, decoded with htslib from its first byte (standard input's bytes already read
// included). A named input that cannot be read again (a command, a FIFO) fails.
void reopen_decoded(record_reader& old, record_reader& fresh, const std::string& name,
                    boost::asio::io_context& io);

} // namespace shuffler
