#include "app/error_lines.hpp"

#include "core/report.hpp"

#include <atomic>

namespace shuffler {

namespace {

// A status line drawn in place stands on the terminal's last line, without a line feed.
std::atomic<bool> status_line_drawn{false};
// Set by the last line of a process ending at once: what the loop notices meanwhile (a child the
// ending killed, a connection it cut) is a consequence of that line, not news.
std::atomic<bool> last_line_written{false};

} // namespace

void write_error_line(const std::string& line) {
    if (last_line_written)
        return;
    // A line over a drawn status line erases its rest instead of following it.
    const bool over_status = status_line_drawn.exchange(false);
    write_standard_error((over_status ? "\r" + line + "\x1b[K" : line) + '\n');
}

void write_last_error_line(const std::string& line) {
    write_error_line(line);
    last_line_written = true;
}

void draw_status_line(const std::string& line) {
    if (last_line_written)
        return;
    write_standard_error("\r" + line + "\x1b[K");
    status_line_drawn = true;
}

} // namespace shuffler
