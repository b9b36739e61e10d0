#pragma once

#include "core/coroutine.hpp"
#include "groups/group_table.hpp"
#include "io/output_channel.hpp"
#include "net/tls.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace shuffler {

// The run's sessions, counted so that the run can end as soon as its work is done.
struct session_tally {
    std::size_t started = 0;        // past the handshake (input side) or the first message
    std::size_t ended = 0;          // of those, ended in any way
    // Input side: of those, the workers served: ended with the end mark taken, or failed after
    // taking data. A peer that leaves before taking anything leaves its place to another.
    std::size_t served = 0;
    std::size_t succeeded = 0;      // of those, ended with every message delivered
    std::function<void()> changed;  // called after every session that ends
};

// One worker the input side has served, for --summary.
struct worker_summary {
    std::string address;        // the worker's address:port
    std::uint16_t group = 0;    // the group it asked for
    std::uint64_t messages = 0; // acknowledged: written to the worker's output
    std::uint64_t records = 0;  // records in those messages
    std::uint64_t bytes = 0;    // payload bytes in those messages
    std::chrono::steady_clock::time_point start, end; // its handshake; its session's end
    bool ended = false;         // the session has ended, well or not
    std::string failure;        // why it failed; empty when it did not
};

// What the sessions have moved, for --progress and --summary: plain counts, updated once per
// message.
struct session_counters {
    std::deque<worker_summary> workers;  // input side: every session past its handshake
    std::uint64_t messages_received = 0; // output side: data messages read
    std::uint64_t bytes_received = 0;    // output side: message bytes read, headers included
    std::uint64_t bytes_written = 0;     // output side: payload bytes written to the output
};

// What every session of a process shares. Lives for the whole run.
struct session_config {
    session_config(std::int32_t groupid, group_table& groups, int peer_timeout,
                   output_channel* output)
        : groupid(groupid), groups(groups), peer_timeout(peer_timeout), output(output) {}

    std::int32_t groupid;             // negative: the input side; else the group to receive
    group_table& groups;              // the process's groups
    int peer_timeout;                 // seconds a silent or unreachable peer is given
    output_channel* output = nullptr; // output side: where payloads go
    session_tally tally;
    // End the waits of the sessions still alive, whose coroutines would otherwise keep their
    // state, and its blocks, alive past the loop.
    std::vector<std::function<void()>> cancellers;
    session_counters counters;
    // TLS with the job's secret for every connection (--secret-file, or the secret made for the
    // port file); null for plain TCP, unless a port file read by -c @PATH holds a secret.
    std::shared_ptr<tls_settings> tls;
    bool insecure = false; // --insecure: plain TCP, whatever a port file holds
    // Output side joined through a port file (-c @PATH): where a listener that failed says why,
    // also to a worker whose connection it dropped before its abort could be sent.
    std::string rendezvous_path;
    // The run's deadline: an output side's connection that has brought nothing by then is
    // dropped (a stray) or fails the run (the input side it was sent to).
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // Output side: close the connections that have brought nothing, once the group is delivered.
    std::vector<std::function<void()>> strays;
    // Input side: the last group its input can produce, from 0 on; unset for every group of the
    // table. A worker asking for another is refused with the abort message.
    std::optional<std::uint16_t> produced_last;
    // Once the run has failed: why, for the abort message every peer still connected is sent
    // (see start_telling). A session started from then on sends it at once.
    std::string abort_reason;
    std::vector<std::function<void()>> aborters; // each starts its session's abort, if it owes one
    std::size_t telling = 0;                     // sessions whose abort is not written yet
    std::size_t starting = 0; // sessions not yet past their handshakes, which a failure may find
};

// Messages a worker may hold unacknowledged: one being written to its output, one waiting.
constexpr std::size_t send_window = 2;

// Starts one peer session on the connected `socket`, which it takes over (the caller's socket is
// left closed, ready for the next connect or accept). `accepted` says the connection came to our
// listener, where a connection that never becomes a session is only a stray. With `tls`, the
// session starts with a TLS handshake (the listener as server) and runs over TLS: a listener drops
// a peer that fails it with a notice, a connecting side fails the run.
void start_session(boost::asio::ip::tcp::socket& socket, session_config& config, bool accepted,
                   std::shared_ptr<tls_settings> tls);

// After the loop has stopped: ends every wait of the sessions still alive, and the output's
// turn, with operation-aborted, so their coroutines unwind and give back what they hold.
void end_sessions(session_config& config);

// After the loop has stopped for a failure: starts sending every peer still connected the abort
// message with `reason` (a worker that has not had its end mark, or a worker's input side); a
// session that starts from then on sends it at once. They go out as the loop runs on.
void start_telling(session_config& config, const std::string& reason);
// Some abort is not written yet, or a session has not yet seen its peer's handshake.
bool still_telling(const session_config& config);

// "this job produces groups 0 to 4" (or "only group 0"), for a refused worker.
std::string produced_groups(const session_config& config);

// Makes the kernel drop a peer that stops answering (no FIN, no RST) after about `seconds`,
// whether data is outstanding or the connection is idle. A peer whose window is full but which
// answers its probes stays.
void set_peer_timeout(boost::asio::ip::tcp::socket::lowest_layer_type& socket, int seconds);

} // namespace shuffler
