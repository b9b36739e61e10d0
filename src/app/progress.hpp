#pragma once

#include "formats/input_counters.hpp"
#include "groups/group_table.hpp"
#include "net/session.hpp"

#include <chrono>
#include <cstdint>
#include <string>

namespace shuffler {

// The status lines of --progress and the closing lines of --summary, read from the counters the
// producer and the sessions keep. Runs on the event-loop thread, between handlers.
class progress_report {
public:
    // `input` is null on the output side. Counts time from its construction.
    progress_report(std::int32_t groupid, group_table& groups, const input_counters* input,
                    const session_counters& sessions);

    // The status line now. `in_place` draws it over the last one (a terminal); otherwise it is
    // a line of its own.
    void update(bool in_place);
    // The last status line, with rates over the whole run, always a line of its own.
    void finish();
    // The closing lines: on the input side the input's totals and one line per worker served; on
    // the output side the worker's totals.
    void summary() const;

private:
    // The status line's text, its rate measured from `rate_since`, when the count was
    // `rate_base`.
    std::string status_line(std::chrono::steady_clock::time_point rate_since,
                            std::uint64_t rate_base) const;
    std::uint64_t rated_count() const; // bytes read (input side) or written (output side)
    double elapsed() const;

    std::int32_t groupid_;
    bool input_side_;
    group_table& groups_;
    const input_counters* input_;
    const session_counters& sessions_;
    std::chrono::steady_clock::time_point start_, last_;
    std::uint64_t last_count_ = 0; // rated_count() at the last update
};

// "1.21 GiB": a byte count for people, three significant digits.
std::string human_bytes(double bytes);

} // namespace shuffler
