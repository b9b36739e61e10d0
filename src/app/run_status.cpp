#include "app/run_status.hpp"

#include "app/error_lines.hpp"

namespace shuffler {

void run_status::fail(const std::string& line) {
    // Held, a line is a consequence of the failure being told, not its reason.
    if (reason_.empty() && !held_)
        reason_ = line;
    note(line);
    failed_ = true;
    if (io_)
        io_->stop();
}

void run_status::note(const std::string& line) {
    if (!held_)
        write_error_line(line);
}

} // namespace shuffler
