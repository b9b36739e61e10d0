#pragma once

#include <string>

namespace shuffler {

// The process's lines on standard error. Safe from any thread: the signal thread writes too.

// Writes one line in a single write, so concurrent processes do not interleave.
void write_error_line(const std::string& line);

// write_error_line for a process about to end at once: no line follows it, from any thread.
void write_last_error_line(const std::string& line);

// Draws `line` over the last line of standard error, a terminal: a carriage return, the line,
// and the rest of the old one erased. The next write_error_line replaces it.
void draw_status_line(const std::string& line);

} // namespace shuffler
