#include "net/serve.hpp"

#include "core/report.hpp"
#include "wire/read_message.hpp"
#include "wire/transfer.hpp"

#include <algorithm>
#include <array>
#include <optional>

namespace shuffler {

namespace {

// The header of a message of `length` payload bytes for `group`.
message_header framed_header(std::size_t length, std::uint16_t group) {
    if (length > UINT32_MAX)
        throw std::runtime_error("SAM header too long for one message");
    message_header h;
    h.length = std::uint32_t(length);
    h.group = group;
    h.check = header_check_word(h.length, group, 0);
    return h;
}

// Reads and checks the peer's handshake, giving up at `limit`.
template <class Stream>
message_header read_handshake(const std::shared_ptr<Stream>& stream,
                              std::chrono::steady_clock::time_point limit,
                              const asio::yield_context& yield) {
    handshake_deadline deadline(stream, limit);
    char raw[header_size];
    boost::system::error_code ec;
    asio::async_read(*stream, asio::buffer(raw), yield[ec]);
    if (deadline.finish())
        throw std::runtime_error("No handshake before the deadline");
    if (ended(ec))
        throw std::runtime_error("closed before its handshake");
    if (ec)
        throw boost::system::system_error(ec);
    const message_header h = load_header(raw);
    if (!header_is_valid(h) || h.length != 0)
        throw std::runtime_error("Bad handshake message");
    return h;
}

// One session of the input side: a sender that pops its group's messages and writes them, and
// an acknowledgement reader, sharing what the worker holds.
template <class Stream> struct serving {
    serving(std::shared_ptr<Stream> stream, group_state& record, std::uint16_t group,
            std::string label, worker_summary& summary)
        : stream(std::move(stream)), record(record), group(group), label(std::move(label)),
          summary(summary), watchdog(this->stream->get_executor()) {}

    std::shared_ptr<Stream> stream;
    group_state& record;
    std::uint16_t group;
    std::string label;
    worker_summary& summary;            // what it has acknowledged, for reports
    sent_list unacked;                  // sent or being sent, oldest first
    std::uint64_t sent = 0;             // messages completely written to the socket
    std::uint64_t acknowledged = 0;     // messages the worker has written to its output
    bool end_sent = false;              // the end mark has gone out
    bool done = false;                  // the final acknowledgement has arrived
    bool preamble_owed = false;         // the preamble is sent and not yet acknowledged
    bool ending = false;                // the end mark is going out, or has gone
    bool telling = false;               // the run has failed: the worker is to get the abort
    bool finishing = false;             // the run has failed, but the worker has its end mark
    std::uint64_t preamble_lines = 0;   // its records, counted once acknowledged
    std::string failure;                // why the session failed; empty while it has not
    wait_queue progress;                // the sender, waiting for acknowledgements
    // Since when the worker owes an acknowledgement it has not given: the first message taken
    // while nothing was outstanding, or the last acknowledgement while more is. Unset while
    // nothing is outstanding.
    std::optional<std::chrono::steady_clock::time_point> owing_since;
    asio::steady_timer watchdog; // paces watch_acknowledgements; cancelled when the session ends

    bool failed() const { return !failure.empty(); }
};

// Ends the session for `why`: closes the connection, which cancels what is in progress, and
// wakes the sender wherever it waits.
template <class Stream> void fail(serving<Stream>& s, const std::string& why) {
    if (s.failed() || s.done)
        return;
    s.failure = why;
    boost::system::error_code ignored;
    transport(*s.stream).close(ignored);
    s.watchdog.cancel();
    s.progress.wake_all();
    s.record.waiters.wake(&s, asio::error::operation_aborted);
}

template <class Stream>
void read_acknowledgements(const std::shared_ptr<serving<Stream>>& s,
                           const asio::yield_context& yield) {
    char raw[header_size];
    for (;;) {
        boost::system::error_code ec;
        asio::async_read(*s->stream, asio::buffer(raw), yield[ec]);
        if (s->failed() || s->done)
            return;
        if (ec) {
            fail(*s, ended(ec) ? "connection closed before its final acknowledgement"
                                          : ec.message());
            return;
        }
        const message_header h = load_header(raw);
        if (header_is_valid(h) && is_abort(h, s->group)) { // the worker has failed: why
            const std::string why = read_abort_reason(*s->stream, h.length, yield);
            fail(*s, why);
            return;
        }
        if (!header_is_valid(h) || h.length != 0 || h.group != s->group) {
            fail(*s, "bad acknowledgement");
            return;
        }
        if (s->preamble_owed) { // the first acknowledgement: not a message of the group
            s->preamble_owed = false;
            s->summary.records += s->preamble_lines;
            s->owing_since = std::chrono::steady_clock::now();
            if (s->unacked.empty() && !s->end_sent)
                s->owing_since.reset();
            s->progress.wake_all();
        } else if (s->acknowledged < s->sent) {
            ++s->acknowledged;
            s->owing_since = std::chrono::steady_clock::now();
            if (s->unacked.size() == 1 && !s->end_sent)
                s->owing_since.reset(); // this one was the last it held
            sent_message& written = s->unacked.front();
            ++s->summary.messages;
            s->summary.records += written.records;
            s->summary.bytes += written.size - header_size;
            acknowledge_message(s->record);
            s->unacked.pop_front(); // its blocks go back to the pool
            s->progress.wake_all();
        } else if (s->end_sent) {
            s->done = true;
            s->watchdog.cancel();
            s->progress.wake_all();
            return;
        } else {
            fail(*s, "acknowledgement of a message not sent");
            return;
        }
    }
}

// Drops a worker that has taken messages (or the end mark) and acknowledged none of them for
// `seconds`: a stopped or hung worker holds them from the others. A slow worker acknowledges now
// and then and stays, however full its window; an idle one owes nothing. Looked at a few times
// per period, so a drop comes between one and one and a quarter periods after the last sign.
template <class Stream>
void watch_acknowledgements(const std::shared_ptr<serving<Stream>>& s, int seconds,
                            const asio::yield_context& yield) {
    const auto period = std::chrono::seconds(seconds);
    while (!s->failed() && !s->done) {
        s->watchdog.expires_after(std::max<std::chrono::steady_clock::duration>(
            period / 4, std::chrono::milliseconds(250)));
        boost::system::error_code ec;
        s->watchdog.async_wait(yield[ec]);
        if (ec || s->failed() || s->done)
            return;
        if (s->owing_since && std::chrono::steady_clock::now() - *s->owing_since >= period)
            fail(*s, "no acknowledgement for " + std::to_string(seconds) + " s");
    }
}

// Writes the group's messages, at most send_window unacknowledged, then the end mark, and waits
// for the final acknowledgement.
template <class Stream>
void send_group(const std::shared_ptr<serving<Stream>>& s, session_config& config,
                const asio::yield_context& yield) {
    buffer_pool& pool = config.groups.pool();
    session_preamble& preamble = config.groups.preamble();
    try {
        if (preamble.expected && s->group < preamble.groups) {
            while (!preamble.known)
                preamble.waiters.wait(yield, s.get());
            if (!preamble.text.empty() && !s->failed() && !s->telling) {
                // Its own message, first on the connection: the worker writes it before anything
                // else, and no message sent again to another worker carries it.
                const message_header h = framed_header(preamble.text.size(), s->group);
                s->preamble_owed = true;
                s->preamble_lines = preamble.lines;
                s->owing_since = std::chrono::steady_clock::now();
                const std::array<asio::const_buffer, 2> message = {
                    asio::buffer(&h, sizeof h), asio::buffer(preamble.text)};
                asio::async_write(*s->stream, message, yield);
            }
        }
        for (;;) {
            while (s->unacked.size() + s->preamble_owed >= send_window && !s->failed() &&
                   !s->telling)
                s->progress.wait(yield);
            if (s->failed() || s->telling)
                break;
            block_chain list(pool);
            if (!pop_message(s->record, list, yield, s.get()))
                break;
            ++s->record.in_flight;
            if (!s->owing_since)
                s->owing_since = std::chrono::steady_clock::now();
            s->unacked.emplace_back(std::move(list));
            asio::async_write(*s->stream, s->unacked.back().list.const_buffers(),
                              transfer_all_at_once{}, yield);
            ++s->sent;
        }
        if (!s->failed() && !s->telling) {
            s->ending = true;
            const message_header end = end_mark_message(s->group);
            if (!s->owing_since)
                s->owing_since = std::chrono::steady_clock::now(); // the final acknowledgement
            asio::async_write(*s->stream, asio::buffer(&end, sizeof end), yield);
            s->end_sent = true;
            while (!s->done && !s->failed())
                s->progress.wait(yield);
        }
    } catch (const boost::system::system_error& e) {
        // A cancellation comes from fail(), from the run's failure (telling) or from teardown;
        // anything else fails the session.
        if (!is_cancellation(e.code()))
            fail(*s, e.code().message());
    }
    if (s->finishing)
        --config.telling;
    if (!s->telling)
        return;
    // Between messages: the worker learns why the run failed, and fails at once. Closed at once,
    // with its acknowledgements unread, the connection would be reset, and a reset can discard
    // the message at the worker before it is read: the sending half is shut instead, and the
    // acknowledgement reader takes what comes until the worker closes.
    if (!s->failed()) {
        const std::string message = abort_message(s->group, config.abort_reason);
        boost::system::error_code ec;
        asio::async_write(*s->stream, asio::buffer(message), yield[ec]);
        if (!ec)
            transport(*s->stream).shutdown(tcp::socket::shutdown_send, ec);
        try {
            while (!ec && !s->failed() && !s->done)
                s->progress.wait(yield);
        } catch (const boost::system::system_error&) {
            // torn down
        }
    }
    --config.telling;
}

template <class Stream>
void serve_group_on(const std::shared_ptr<Stream>& stream, session_config& config,
                 starting_session& starting, const asio::yield_context& yield) {
    asio::io_context& io = context_of(stream->get_executor());
    const std::string label = peer_label(transport(*stream));
    message_header h;
    try {
        const auto now = std::chrono::steady_clock::now();
        h = read_handshake(stream, now + handshake_grace, yield);
    } catch (const boost::system::system_error& e) {
        if (!is_cancellation(e.code()))
            report_to(io).note(label + ": " + e.code().message() + "; connection dropped");
        return;
    } catch (const std::exception& e) {
        // A stray connection (a port scan, a health check) must not end a job in flight.
        report_to(io).note(label + ": " + error_text(e) + "; connection dropped");
        return;
    }
    if (h.group >= config.groups.size() ||
        (config.produced_last && h.group > *config.produced_last)) {
        // A worker for a group that never comes would wait for nothing, or hold the job.
        const std::string why =
            "group " + std::to_string(h.group) + " does not exist: " + produced_groups(config);
        send_abort_only(stream, h.group, why, yield);
        report_to(io).note(label + ": asked for group " + std::to_string(h.group) + ", but " +
                         produced_groups(config) + "; refused");
        return;
    }
    if (!config.abort_reason.empty()) { // the run has failed already
        send_abort_only(stream, h.group, config.abort_reason, yield);
        return;
    }
    set_peer_timeout(transport(*stream), config.peer_timeout);
    group_state& record = config.groups[h.group];
    record.claim = group_claim::claimed;
    ++config.tally.started;
    worker_summary& summary = config.counters.workers.emplace_back();
    summary.address = label;
    summary.group = h.group;
    summary.start = std::chrono::steady_clock::now();
    auto s = std::make_shared<serving<Stream>>(stream, record, h.group, label, summary);
    config.cancellers.push_back([w = std::weak_ptr<serving<Stream>>(s)] {
        if (const auto kept = w.lock()) { // alive until its waiters have unwound
            kept->progress.cancel_all();
            kept->watchdog.cancel();
        }
    });
    config.aborters.push_back([w = std::weak_ptr<serving<Stream>>(s), &config] {
        const auto kept = w.lock();
        if (!kept || kept->failed() || kept->done || kept->telling || kept->finishing)
            return;
        // A worker that has had its end mark has its whole group: it may still succeed, and
        // the run waits for its final acknowledgement as for the aborts (closed meanwhile, its
        // connection would fail it with a bare broken pipe).
        if (kept->ending) {
            kept->finishing = true;
            ++config.telling;
            return;
        }
        kept->telling = true;
        ++config.telling;
        kept->progress.wake_all();
        kept->record.waiters.wake(kept.get(), asio::error::operation_aborted);
        config.groups.preamble().waiters.wake(kept.get(), asio::error::operation_aborted);
    });
    starting.started();
    spawn_coroutine(yield, [s](asio::yield_context y) { read_acknowledgements(s, y); });
    spawn_coroutine(yield, [s, seconds = config.peer_timeout](asio::yield_context y) {
        watch_acknowledgements(s, seconds, y);
    });
    send_group(s, config, yield);
    if (s->telling)
        return; // the run has failed: its peers are told, nothing more is news

    if (s->done || (s->failed() && s->sent > 0))
        ++config.tally.served;
    if (s->done) {
        boost::system::error_code ignored;
        transport(*stream).close(ignored);
        ++config.tally.succeeded;
    } else if (s->failed()) {
        const std::size_t again = s->unacked.size();
        resend_messages(record, s->unacked);
        if (s->acknowledged > 0)
            // What it wrote went to an output that will not be complete: it cannot come back.
            report_failure(io, label,
                           "worker failed after writing " + std::to_string(s->acknowledged) +
                               " messages to its output (" + s->failure + ")");
        else
            report_to(io).note(label + ": worker failed; " + std::to_string(again) +
                             " messages sent again (" + s->failure + ")");
    } else {
        return; // torn down with the loop
    }
    summary.end = std::chrono::steady_clock::now();
    summary.ended = true;
    summary.failure = s->failure;
    ++config.tally.ended;
    if (config.tally.changed)
        config.tally.changed();
}

} // namespace

void serve_group(const std::shared_ptr<tcp::socket>& stream, session_config& config,
                 starting_session& starting, const asio::yield_context& yield) {
    serve_group_on(stream, config, starting, yield);
}

void serve_group(const std::shared_ptr<tls_socket>& stream, session_config& config,
                 starting_session& starting, const asio::yield_context& yield) {
    serve_group_on(stream, config, starting, yield);
}

} // namespace shuffler
