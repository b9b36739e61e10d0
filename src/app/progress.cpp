#include "app/progress.hpp"
#include "app/error_lines.hpp"

#include "core/report.hpp"

#include <cstdio>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

namespace shuffler {

namespace {

using clock = std::chrono::steady_clock;

double seconds_between(clock::time_point from, clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Groups listed in a status line; the rest are counted.
constexpr std::size_t listed_groups = 8;

} // namespace

std::string human_bytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < sizeof units / sizeof *units) {
        bytes /= 1024;
        ++unit;
    }
    if (unit == 0)
        return format("%.0f B", bytes);
    return format(bytes < 10 ? "%.2f " : bytes < 100 ? "%.1f " : "%.0f ", bytes) + units[unit];
}

progress_report::progress_report(std::int32_t groupid, group_table& groups,
                                 const input_counters* input, const session_counters& sessions)
    : groupid_(groupid), input_side_(groupid < 0), groups_(groups), input_(input), sessions_(sessions),
      start_(clock::now()), last_(start_) {}

std::uint64_t progress_report::rated_count() const {
    return input_side_ ? (input_ ? input_->bytes : 0) : sessions_.bytes_written;
}

double progress_report::elapsed() const { return seconds_between(start_, clock::now()); }

std::string progress_report::status_line(clock::time_point rate_since,
                                         std::uint64_t rate_base) const {
    const clock::time_point now = clock::now();
    const double interval = seconds_between(rate_since, now);
    const double rate = interval > 0 ? double(rated_count() - rate_base) / interval : 0;
    std::string line = "progress " + format("%.1f", seconds_between(start_, now)) + " s: ";
    if (!input_side_) {
        return line + "received " + human_bytes(double(sessions_.bytes_received)) + ", " +
               std::to_string(sessions_.messages_received) + " messages; written " +
               human_bytes(double(sessions_.bytes_written)) + ", " + human_bytes(rate) + "/s";
    }
    std::uint64_t queued = 0;
    for (const group_state* record : groups_.used())
        queued += record->message_count();
    std::size_t connected = 0;
    std::map<std::uint16_t, std::uint64_t> served; // bytes acknowledged per group
    for (const worker_summary& w : sessions_.workers) {
        connected += !w.ended;
        served[w.group] += w.bytes;
    }
    line += "read " + human_bytes(double(input_->bytes)) + ", " +
            std::to_string(input_->records) + " records, " + human_bytes(rate) + "/s; queued " +
            std::to_string(queued) + "; workers " + std::to_string(connected);
    std::size_t listed = 0;
    for (const auto& [group, bytes] : served) {
        if (listed == listed_groups) {
            line += ", +" + std::to_string(served.size() - listed) + " groups";
            break;
        }
        line += (listed++ == 0 ? "; served " : ", ") + std::to_string(group) + ": " +
                human_bytes(double(bytes));
    }
    return line;
}

void progress_report::update(bool in_place) {
    std::string line = status_line(last_, last_count_);
    last_ = clock::now();
    last_count_ = rated_count();
    if (!in_place) {
        write_error_line(line);
        return;
    }
    // A line wider than the terminal wraps, and the carriage return would then redraw only its
    // last part.
    winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
        line.size() >= size.ws_col)
        line.resize(size.ws_col - 1u);
    draw_status_line(line);
}

void progress_report::finish() { write_error_line(status_line(start_, 0)); }

void progress_report::summary() const {
    const clock::time_point now = clock::now();
    if (!input_side_) {
        write_error_line("summary: group " + std::to_string(groupid_) + ": " +
                         std::to_string(sessions_.messages_received) + " messages, " +
                         std::to_string(sessions_.bytes_received) + " bytes received, " +
                         std::to_string(sessions_.bytes_written) + " bytes written, " +
                         format("%.2f", elapsed()) + " s");
        return;
    }
    write_error_line("summary: input: " + std::to_string(input_->records) + " records, " +
                     std::to_string(input_->bytes) + " bytes, " + format("%.2f", elapsed()) +
                     " s");
    for (const worker_summary& w : sessions_.workers) {
        std::string line = "summary: worker " + w.address + ", group " + std::to_string(w.group) +
                           ": " + std::to_string(w.messages) + " messages, " +
                           std::to_string(w.records) + " records, " + std::to_string(w.bytes) +
                           " bytes, " +
                           format("%.2f", seconds_between(w.start, w.ended ? w.end : now)) + " s";
        if (!w.failure.empty())
            line += "; failed: " + w.failure;
        else if (!w.ended)
            line += "; not finished";
        write_error_line(line);
    }
}

} // namespace shuffler
