#include "net/session.hpp"
#include "core/coroutine.hpp"

#include "core/interruption.hpp"
#include "core/report.hpp"
#include "net/port_file.hpp"
#include "wire/message_header.hpp"
#include "wire/read_message.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <type_traits>
#include <utility>

namespace shuffler {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Why the input side a worker joined through its port file failed, or "": a listener that fails
// while a connection is still in its handshake closes it without an abort, but its file says why.
std::string listener_failure(const session_config& config) {
    if (config.rendezvous_path.empty())
        return "";
    try {
        const std::optional<rendezvous> found = read_rendezvous(config.rendezvous_path);
        return found ? found->failed : "";
    } catch (const std::exception&) {
        return "";
    }
}


// The sessions run on either kind of connection: plain TCP, or TLS over it when the job has a
// secret. Both give the TCP socket beneath for closing, cancelling and socket options.
using tls_stream = asio::ssl::stream<tcp::socket>;
using transport_socket = tcp::socket::lowest_layer_type;
transport_socket& transport(tcp::socket& s) { return s.lowest_layer(); }
transport_socket& transport(tls_stream& s) { return s.lowest_layer(); }

// The normal end of a received connection. Over TLS a peer that closes its socket without the
// TLS close message ends the stream "truncated"; the protocol's own end mark tells whether the
// data was complete, so that is an end like any other.
bool ended(const boost::system::error_code& ec) {
    return is_end_of_stream(ec) || ec == asio::ssl::error::stream_truncated;
}

// The peer's address:port for error lines, or a placeholder when the peer is already gone.
std::string peer_label(const transport_socket& socket) {
    boost::system::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec)
        return "unknown peer";
    return boost::lexical_cast<std::string>(peer);
}

// How long a peer that has just connected may take to send its handshake, whatever the run's
// deadline: a silent connection (a port scan, a health check) must not hold a finished run open.
constexpr std::chrono::seconds handshake_grace(10);

// A session counted in session_config::starting from its start until it has registered how it
// would tell its peer of a failure (or has ended): a failed run's telling waits for it.
struct starting_session {
    explicit starting_session(session_config& config) : config(config) {}
    starting_session(const starting_session&) = delete;
    starting_session& operator=(const starting_session&) = delete;
    ~starting_session() { started(); }
    void started() {
        if (!done) {
            done = true;
            --config.starting;
        }
    }
    session_config& config;
    bool done = false;
};

// Cancels what is pending on a stream's socket if `limit` passes first, so that a handshake
// cannot wait forever.
class handshake_deadline {
  public:
    template <class Stream>
    handshake_deadline(const std::shared_ptr<Stream>& stream,
                       std::chrono::steady_clock::time_point limit)
        : timer_(context_of(stream->get_executor()), limit) {
        timer_.async_wait([stream, s = state_](const boost::system::error_code& ec) {
            if (ec || s->done)
                return;
            s->expired = true;
            boost::system::error_code ignored;
            transport(*stream).cancel(ignored);
        });
    }

    // Ends the watch once the operation has finished; true when the limit had cancelled it.
    bool finish() {
        state_->done = true;
        timer_.cancel();
        return state_->expired;
    }

  private:
    struct state {
        bool done = false;    // the operation finished first: the timer must not touch the socket
        bool expired = false; // the timer cancelled the operation
    };
    std::shared_ptr<state> state_ = std::make_shared<state>();
    asio::steady_timer timer_; // the steady clock: a step of the wall clock moves no deadline
};

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

// The abort message of a peer: its run has failed, for the reason it carries.
struct peer_aborted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whether the header `h`, on a connection for `group`, opens an abort message.
bool is_abort(const message_header& h, std::uint16_t group) {
    return h.group == abort_group(group) && h.length <= abort_reason_limit;
}

// Reads the reason of an abort message whose header has been read.
template <class Stream>
std::string read_abort_reason(Stream& stream, std::uint32_t length,
                              const asio::yield_context& yield) {
    char text[abort_reason_limit];
    boost::system::error_code ec;
    asio::async_read(stream, asio::buffer(text, length), yield[ec]);
    if (ec)
        return "(its reason was cut off)";
    return abort_reason_text(text, length);
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
    serving(std::shared_ptr<Stream> stream, group_record& record, std::uint16_t group,
            std::string label, worker_summary& summary)
        : stream(std::move(stream)), record(record), group(group), label(std::move(label)),
          summary(summary), watchdog(this->stream->get_executor()) {}

    std::shared_ptr<Stream> stream;
    group_record& record;
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
            sg_buffer_list list(pool);
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
            const message_header end = make_handshake(s->group); // an empty message of the group
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

// How long a connection that has sent its abort waits for its peer to close.
constexpr std::chrono::seconds abort_grace(2);

// Sends the abort message with `why` on a connection for `group` that carries nothing else, and
// closes it once the peer has (see send_group), or after abort_grace.
template <class Stream>
void send_abort_only(const std::shared_ptr<Stream>& stream, std::uint16_t group,
                     const std::string& why, const asio::yield_context& yield) {
    const std::string message = abort_message(group, why);
    handshake_deadline limit(stream, std::chrono::steady_clock::now() + abort_grace);
    boost::system::error_code ec;
    asio::async_write(*stream, asio::buffer(message), yield[ec]);
    if (!ec)
        transport(*stream).shutdown(tcp::socket::shutdown_send, ec);
    char sink[4096]; // whatever the peer still sends is of no use now
    while (!ec)
        stream->async_read_some(asio::buffer(sink), yield[ec]);
    limit.finish();
    transport(*stream).close(ec);
}

template <class Stream>
void serve_group(const std::shared_ptr<Stream>& stream, session_config& config,
                 starting_session& starting, const asio::yield_context& yield) {
    asio::io_context& io = context_of(stream->get_executor());
    const std::string label = peer_label(transport(*stream));
    message_header h;
    try {
        const auto now = std::chrono::steady_clock::now();
        h = read_handshake(stream, now + handshake_grace, yield);
    } catch (const boost::system::system_error& e) {
        if (!is_cancellation(e.code()))
            write_error_line(label + ": " + e.code().message() + "; connection dropped");
        return;
    } catch (const std::exception& e) {
        // A stray connection (a port scan, a health check) must not end a job in flight.
        write_error_line(label + ": " + e.what() + "; connection dropped");
        return;
    }
    if (h.group >= config.groups.size() ||
        (config.produced_last && h.group > *config.produced_last)) {
        // A worker for a group that never comes would wait for nothing, or hold the job.
        const std::string why =
            "group " + std::to_string(h.group) + " does not exist: " + produced_groups(config);
        send_abort_only(stream, h.group, why, yield);
        write_error_line(label + ": asked for group " + std::to_string(h.group) + ", but " +
                         produced_groups(config) + "; refused");
        return;
    }
    if (!config.abort_reason.empty()) { // the run has failed already
        send_abort_only(stream, h.group, config.abort_reason, yield);
        return;
    }
    set_peer_timeout(transport(*stream), config.peer_timeout);
    group_record& record = config.groups[h.group];
    record.claim = h.group;
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
        // A worker that has had its end mark has its whole group: it may still succeed.
        if (!kept || kept->failed() || kept->done || kept->ending || kept->telling)
            return;
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
            write_error_line(label + ": worker failed; " + std::to_string(again) +
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

// A message as a worker holds it: its header and payload in pool blocks, except that the first
// stage.size() bytes of the payload may wait in pipes (see receive_message).
struct received_message {
    explicit received_message(buffer_pool& pool) : list(pool) {}

    std::uint64_t size() const { return list.size() + stage.size(); }

    sg_buffer_list list;
    pipe_stage stage{4}; // 256 KiB to 2 MiB: the rest of a longer message uses blocks
};

// Moves up to `length` bytes from `socket` into `stage`, waiting for them; stops early when the
// stage is full.
void stage_payload(tcp::socket& socket, pipe_stage& stage, std::uint64_t length,
                   const asio::yield_context& yield) {
    while (stage.size() < length) {
        const ssize_t n = stage.fill_from(socket.native_handle(), length - stage.size());
        if (n > 0)
            continue;
        if (n == 0)
            throw truncated_message();
        if (errno != EAGAIN)
            throw boost::system::system_error(errno, boost::system::system_category());
        if (stage.full())
            return;
        socket.async_wait(tcp::socket::wait_read, yield);
    }
}

// Reads one message into `m`. With `splice`, on a plain TCP connection, its payload goes into
// pipes until it is whole, so that it can reach the output without a copy; otherwise, and for
// whatever the pipes cannot hold, it comes into pool blocks.
template <class Stream>
void receive_message(Stream& stream, received_message& m, bool splice, std::uint16_t group,
                     std::optional<handshake_deadline>& first, const asio::yield_context& yield) {
    std::uint64_t length = 0;
    try {
        length = read_header(stream, m.list, yield);
    } catch (const truncated_message&) {
        throw boost::system::system_error(asio::error::eof); // the connection was cut short
    }
    if (first) { // something came in time; the rest of the message may take as long as it takes
        first->finish();
        first.reset();
    }
    // Another group's data would end up in this group's output: refused before any of it is
    // read, so nothing of it is written.
    const block& front = m.list.blocks().front();
    const message_header header = load_header(front.data + front.begin);
    if (is_abort(header, group))
        throw peer_aborted(read_abort_reason(stream, header.length, yield));
    const std::uint16_t sent_for = header.group;
    if (sent_for != group)
        throw std::runtime_error("protocol error: a message of group " +
                                 std::to_string(sent_for) + " on a connection for group " +
                                 std::to_string(group));
    try {
        if constexpr (std::is_same_v<Stream, tcp::socket>)
            if (splice)
                stage_payload(stream, m.stage, length, yield);
        read_payload(stream, m.list, length - m.stage.size(), yield);
    } catch (const truncated_message&) {
        throw boost::system::system_error(asio::error::eof);
    }
}

// One session of the output side: the connection's reader queues what arrives, at most
// send_window messages ahead of the writer, which writes each payload to the output and then
// acknowledges it.
template <class Stream> struct receiving {
    receiving(std::shared_ptr<Stream> stream, output_channel& output, std::uint16_t group,
              std::uint64_t& written)
        : stream(std::move(stream)), output(output), group(group), written(written) {}

    std::shared_ptr<Stream> stream;
    output_channel& output;
    std::uint16_t group;
    std::deque<received_message> held; // not yet written; one of header_size bytes is an end mark
    bool reading = true;             // the reader has not ended
    bool writing = true;             // the writer has not ended
    bool wrote_data = false;         // a payload of this session reached the output
    bool acknowledging = true;       // the sender still takes acknowledgements
    bool acknowledgement_going = false; // an acknowledgement is being written
    bool told = false;               // the abort message has gone out, or is going
    std::uint64_t& written;          // payload bytes written to the output, for reports
    boost::system::error_code acknowledgement_error; // why it stopped taking them
    wait_queue reader_waits, writer_waits;
};

// How many bytes may go into the output now: unlimited unless it is a pipe, and then what keeps
// it within its size, waiting while it holds that much. A pipe full by its slots wakes a writer
// when its reader takes a slot; one that holds spliced pages may be full by its bytes with slots
// free, and nothing wakes a writer for that, so then its count is polled, less often the longer
// its reader stalls.
std::uint64_t output_room(output_channel& out, const asio::yield_context& yield,
                          boost::system::error_code& ec) {
    if (out.capacity == 0)
        return unlimited_step;
    const int fd = out.descriptor.native_handle();
    for (auto interval = std::chrono::milliseconds(1);; interval = std::min(2 * interval,
                                                        std::chrono::milliseconds(64))) {
        if (const std::uint64_t room = pipe_room(fd, out.capacity))
            return room;
        if (!pipe_has_free_slot(fd)) {
            out.descriptor.async_wait(asio::posix::stream_descriptor::wait_write, yield[ec]);
        } else {
            asio::steady_timer poll(out.descriptor.get_executor(), interval);
            poll.async_wait(yield[ec]);
        }
        if (ec)
            return 0;
    }
}

// Moves a message's payload to the output: the staged bytes with splice, then the rest from its
// blocks. Counts what was written in `written`.
boost::system::error_code write_all(output_channel& out, received_message& m,
                                    std::uint64_t& written, const asio::yield_context& yield) {
    boost::system::error_code ec;
    while (m.size() > 0) {
        const std::uint64_t room = output_room(out, yield, ec);
        if (ec)
            return ec;
        if (m.stage.size() == 0) {
            const std::size_t done = asio::async_write(out.descriptor, m.list.const_buffers(),
                                                       transfer_exactly_at_once{room}, yield[ec]);
            m.list.consume(done);
            written += done;
            if (ec)
                return ec;
            continue;
        }
        const ssize_t n = m.stage.drain_to(out.descriptor.native_handle(), room);
        if (n > 0)
            written += std::uint64_t(n);
        else if (n == 0 || errno == EAGAIN) // 0: another writer filled the pipe meanwhile
            out.descriptor.async_wait(asio::posix::stream_descriptor::wait_write, yield[ec]);
        else
            ec = boost::system::error_code(errno, boost::system::system_category());
        if (ec)
            return ec;
    }
    return ec;
}

// Writes one message's payload (the message without its header) to the output, whole, taking
// the output's turn so that payloads of different sessions never interleave. False when the
// session must end: cancelled, or the output failed and that is reported.
bool write_payload(output_channel& out, received_message& payload, std::uint64_t& written,
                   asio::io_context& io, const asio::yield_context& yield) {
    while (out.busy)
        out.turn.wait(yield);
    out.busy = true;
    const boost::system::error_code ec = write_all(out, payload, written, yield);
    out.busy = false;
    out.turn.wake_one(boost::system::error_code());
    if (is_cancellation(ec))
        return false;
    if (ec == asio::error::broken_pipe) {
        const std::string why = out.why_closed ? out.why_closed(yield) : "";
        report_line(io, why.empty() ? out.label + " closed by its reader" : out.label + ": " + why);
        return false;
    }
    if (ec) {
        report_failure(io, out.label, ec.message());
        return false;
    }
    return true;
}

// Writes each held payload to the output, one session at a time, then acknowledges it.
template <class Stream>
void write_and_acknowledge(const std::shared_ptr<receiving<Stream>>& r, const message_header& ack,
                           asio::io_context& io, const asio::yield_context& yield) {
    for (;;) {
        while (r->held.empty() && r->reading)
            r->writer_waits.wait(yield);
        if (r->held.empty())
            return;
        received_message& message = r->held.front();
        message.list.consume(header_size);
        const bool end_mark = message.size() == 0;
        if (!end_mark && !write_payload(r->output, message, r->written, io, yield))
            return;
        r->wrote_data = r->wrote_data || !end_mark;
        // An empty message before any data may be another output side's handshake (see
        // receive_group): an output that got nothing is finished at the end of the run instead.
        if (end_mark && r->wrote_data && r->output.finish) {
            const std::string problem = std::exchange(r->output.finish, nullptr)(yield);
            if (!problem.empty()) {
                report_failure(io, r->output.label, problem);
                return;
            }
        }
        if (r->acknowledging) {
            boost::system::error_code ec;
            r->acknowledgement_going = true;
            asio::async_write(*r->stream, asio::buffer(&ack, sizeof ack), yield[ec]);
            r->acknowledgement_going = false;
            if (is_cancellation(ec))
                return;
            // A sender that has closed its side takes no acknowledgements: whether it finished
            // is for the reader to find out.
            r->acknowledging = !ec;
            r->acknowledgement_error = ec;
        }
        r->held.pop_front();
        r->reader_waits.wake_all();
    }
}

// A worker whose window is full reads nothing from its connection and, while its consumer is
// stalled, writes nothing either: a connection the kernel has dropped (peer timeout) would go
// unnoticed until the consumer reads again. This watch reports it at once.
template <class Stream>
void watch_for_errors(const std::shared_ptr<Stream>& stream, const std::string& label) {
    transport(*stream).async_wait(tcp::socket::wait_error, [stream, label](
                                                               boost::system::error_code ec) {
        transport_socket& socket = transport(*stream);
        if (ec || !socket.is_open())
            return; // cancelled: the session has ended
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
            error == 0)
            return;
        report_failure(
            context_of(socket.get_executor()), label,
            boost::system::error_code(error, boost::system::system_category()).message());
    });
}

// Whether the peer has closed its side (FIN), or the connection has failed.
bool peer_closed(int fd) {
    pollfd p = {fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Whether a plain TCP peer has closed its side (FIN) with what it sent still unread, and that
// can never be a whole stream: the bytes waiting end inside a message, or not with an end mark
// (`marked`: the last message already taken was one). A real input side closes only after the
// final acknowledgement, so this is an input side that died; a sender that closes right after
// its end mark is not. Looked at only while the window is full.
bool closed_before_the_end(int fd, bool marked) {
    if (!peer_closed(fd))
        return false;
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0)
        return false;
    std::string bytes(std::size_t(waiting), '\0'); // rare: a peer that has gone
    const ssize_t got = waiting > 0 ? ::recv(fd, bytes.data(), bytes.size(),
                                             MSG_PEEK | MSG_DONTWAIT)
                                    : 0;
    if (got < 0)
        return false;
    std::size_t at = 0;
    while (at + header_size <= std::size_t(got)) {
        const message_header h = load_header(bytes.data() + at);
        if (!header_is_valid(h))
            return true;
        marked = h.length == 0;
        at += header_size + h.length;
    }
    return at != std::size_t(got) || !marked;
}

// A worker's abort to its input side, on a connection its reader may still be reading: the
// sending half is shut, and the socket is closed only once the input side has closed its own
// (it has read the abort then), or after abort_grace. Closed at once with data unread, it would
// be reset, and the reset could discard the abort before the input side reads it.
template <class Stream>
void tell_input_side(Stream& stream, std::uint16_t group, const std::string& why,
                     const asio::yield_context& yield) {
    const std::string message = abort_message(group, why);
    boost::system::error_code ec;
    asio::async_write(stream, asio::buffer(message), yield[ec]);
    if (!ec)
        transport(stream).shutdown(tcp::socket::shutdown_send, ec);
    const auto until = std::chrono::steady_clock::now() + abort_grace;
    while (!ec && transport(stream).is_open() && std::chrono::steady_clock::now() < until) {
        pollfd p = {transport(stream).native_handle(), POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
            break;
        asio::steady_timer pause(stream.get_executor(), std::chrono::milliseconds(10));
        pause.async_wait(yield[ec]);
    }
    transport(stream).close(ec);
}

// While the reader waits for the window, the connection is looked at once a second for an input
// side that has died: its worker must not wait for a stalled consumer to find out. Under TLS the
// bytes waiting cannot be looked into without taking them, so any close counts unless the last
// message taken was the end mark: a live input side closes only after the final acknowledgement.
template <class Stream> class close_watch {
  public:
    close_watch(const std::shared_ptr<receiving<Stream>>& r, std::string label)
        : timer_(r->stream->get_executor()) {
        arm(r, std::move(label));
    }
    ~close_watch() { timer_.cancel(); }

  private:
    void arm(const std::shared_ptr<receiving<Stream>>& r, std::string label) {
        timer_.expires_after(std::chrono::seconds(1));
        timer_.async_wait([this, w = std::weak_ptr<receiving<Stream>>(r),
                           label](const boost::system::error_code& ec) {
            const auto kept = w.lock();
            if (ec || !kept || !transport(*kept->stream).is_open())
                return;
            const bool marked = !kept->held.empty() && kept->held.back().size() == header_size;
            const int fd = transport(*kept->stream).native_handle();
            if (std::is_same_v<Stream, tcp::socket> ? closed_before_the_end(fd, marked)
                                                    : !marked && peer_closed(fd)) {
                report_failure(context_of(timer_.get_executor()), label,
                               "connection closed before the end of data");
                return;
            }
            arm(kept, label);
        });
    }
    asio::steady_timer timer_;
};

// The writer coroutine of an output-side session.
template <class Stream>
void write_payloads(const std::shared_ptr<receiving<Stream>>& r, const asio::yield_context& yield) {
    asio::io_context& io = context_of(r->stream->get_executor());
    const message_header ack = make_handshake(r->group);
    try {
        write_and_acknowledge(r, ack, io, yield);
    } catch (const boost::system::system_error& e) {
        if (!is_cancellation(e.code()))
            report_failure(io, r->output.label, e.code().message());
    }
    // Whatever ended the writer, the reader must not wait for room that never comes.
    r->writing = false;
    r->reader_waits.wake_all();
}

template <class Stream>
void receive_group(const std::shared_ptr<Stream>& stream, session_config& config, bool accepted,
                   starting_session& starting, const asio::yield_context& yield) {
    asio::io_context& io = context_of(stream->get_executor());
    const std::string label = peer_label(transport(*stream));
    const std::uint16_t group = std::uint16_t(config.groupid);
    if (!config.abort_reason.empty()) {
        // This worker failed before it could start: its input side learns why at once.
        const message_header handshake = make_handshake(group);
        boost::system::error_code ignored;
        asio::async_write(*stream, asio::buffer(&handshake, sizeof handshake), yield[ignored]);
        send_abort_only(stream, group, config.abort_reason, yield);
        return;
    }
    auto r = std::make_shared<receiving<Stream>>(stream, *config.output, group,
                                                 config.counters.bytes_written);
    config.cancellers.push_back([w = std::weak_ptr<receiving<Stream>>(r)] {
        if (const auto kept = w.lock()) { // alive until its waiters have unwound
            kept->reader_waits.cancel_all();
            kept->writer_waits.cancel_all();
        }
    });
    config.aborters.push_back([w = std::weak_ptr<receiving<Stream>>(r), &config] {
        const auto kept = w.lock();
        // An acknowledgement half written would cut the abort message: then the close says it.
        if (!kept || kept->told || !kept->reading || kept->acknowledgement_going ||
            !transport(*kept->stream).is_open())
            return;
        kept->told = true;
        kept->acknowledging = false; // nothing written from now on counts as delivered
        ++config.telling;
        spawn_coroutine(kept->stream->get_executor(), [kept, &config](const asio::yield_context& y) {
            tell_input_side(*kept->stream, kept->group, config.abort_reason, y);
            --config.telling;
        });
    });
    starting.started();
    // Closing at the end, however the session ends, also ends the error watch.
    struct closer {
        transport_socket& socket;
        ~closer() {
            boost::system::error_code ignored;
            socket.close(ignored);
        }
    } close_at_end{transport(*stream)};
    bool started = false;     // a message of the group has come (counted in the tally)
    bool data_seen = false;   // a data message has come: the peer is an input side
    bool at_end_mark = false; // the last message was empty: the sender's end of data
    // The first message must come by the run's deadline: a peer that sends nothing (a silent
    // stray, a hung or hostile input side) must not hold the worker past it.
    std::optional<handshake_deadline> first_message;
    first_message.emplace(stream, config.deadline);
    const auto expired = [&] { return first_message && first_message->finish(); };
    // A listener drops a silent connection once another has delivered the group.
    struct silence {
        bool silent = true;   // nothing has come
        bool dropped = false; // closed for that
    };
    auto quiet = std::make_shared<silence>();
    config.strays.push_back([quiet, w = std::weak_ptr<Stream>(stream)] {
        if (const auto kept = w.lock(); kept && quiet->silent) {
            quiet->dropped = true;
            boost::system::error_code ignored;
            transport(*kept).close(ignored);
        }
    });
    try {
        const message_header handshake = make_handshake(group);
        asio::async_write(*stream, asio::buffer(&handshake, sizeof handshake), yield);
        set_peer_timeout(transport(*stream), config.peer_timeout);
        watch_for_errors(stream, label);
        // Payloads are spliced when they can reach a pipe unchanged: not through TLS.
        const bool splice = std::is_same_v<Stream, tcp::socket> && r->output.capacity > 0;
        if (splice)
            transport(*stream).native_non_blocking(true); // splice() must not wait for bytes
        const bool finishes_at_end_mark = static_cast<bool>(r->output.finish);
        spawn_coroutine(yield, [r](asio::yield_context y) { write_payloads(r, y); });
        for (;;) {
            if (r->held.size() >= send_window && r->writing) {
                const close_watch<Stream> watch(r, label);
                while (r->held.size() >= send_window && r->writing)
                    r->reader_waits.wait(yield);
            }
            if (!r->writing) {
                // The writer has failed and said why; the input side learns it too.
                if (failure_flag && !r->told) {
                    r->told = true;
                    ++config.telling;
                    tell_input_side(*stream, group, first_failure(), yield);
                    --config.telling;
                }
                return;
            }
            received_message message(config.groups.pool());
            receive_message(*stream, message, splice, group, first_message, yield);
            quiet->silent = false;
            const bool empty = message.size() == header_size;
            // An input side sends nothing after its end mark but waits for the final
            // acknowledgement. Another output side sends its handshake, then acknowledges ours:
            // two empty messages before any data.
            if (empty && at_end_mark && !data_seen)
                throw std::runtime_error("peer is an output side too");
            // With one input side the output is finished at its end mark: nothing may follow.
            if (!empty && at_end_mark && finishes_at_end_mark)
                throw std::runtime_error("protocol error: data after the end mark");
            data_seen = data_seen || !empty;
            config.counters.bytes_received += message.size();
            config.counters.messages_received += !empty;
            if (!started) {
                started = true;
                ++config.tally.started;
            }
            at_end_mark = empty;
            r->held.push_back(std::move(message));
            r->writer_waits.wake_all();
        }
    } catch (const std::exception& e) {
        r->reading = false;
        r->writer_waits.wake_all();
        if (const auto* aborted = dynamic_cast<const peer_aborted*>(&e)) {
            // Stopped by a signal too (Ctrl-C reaches the whole job): the input side's abort
            // is that same signal's news; the worker's own interruption is its one line.
            if (stop_signal() != 0) {
                failure_flag = 1;
                io.stop();
                return;
            }
            report_failure(io, label, std::string("input side failed: ") + aborted->what());
            return;
        }
        const auto* error = dynamic_cast<const boost::system::system_error*>(&e);
        const bool late = expired();
        if (!data_seen && started && !error) {
            --config.tally.started; // not an input side after all
            started = false;
        }
        if (quiet->dropped) {
            write_error_line(label + ": nothing received before the group was delivered; "
                                     "connection dropped");
            return;
        }
        if (error && is_cancellation(error->code()) && !late)
            return;
        const std::string why = late ? "nothing received before the deadline" : e.what();
        if (!started && accepted) {
            // Nothing valid came: a stray connection to our listener, not an input side.
            write_error_line(label + ": " +
                             (!late && error && ended(error->code()) ? "closed before any data"
                                                                     : why) +
                             "; connection dropped");
            return;
        }
        const bool finished = error && ended(error->code()) && at_end_mark;
        if (!finished) {
            // A write that failed first (a peer timeout) says more than the close seen after it.
            const bool closed = !late && error && ended(error->code());
            if (const std::string failed = listener_failure(config); !failed.empty()) {
                report_failure(io, label, "input side failed: " + failed);
                return;
            }
            report_failure(io, label,
                           closed && r->acknowledgement_error
                               ? r->acknowledgement_error.message()
                               : closed ? "connection closed before the end of data" : why);
            return;
        }
    }
    // Ended after the end mark: done once every payload is written.
    try {
        while (!r->held.empty() && r->writing)
            r->reader_waits.wait(yield);
    } catch (const boost::system::system_error&) {
        return; // torn down
    }
    if (!r->held.empty())
        return;
    ++config.tally.ended;
    ++config.tally.succeeded;
    if (config.tally.changed)
        config.tally.changed();
}

} // namespace

void end_sessions(session_config& config) {
    config.tally.changed = nullptr; // what it would stop is gone already
    for (const auto& cancel : config.cancellers)
        cancel();
    config.cancellers.clear();
    if (config.output)
        config.output->turn.cancel_all();
}

void tell_peers(asio::io_context& io, session_config& config, const std::string& reason,
                std::chrono::milliseconds bound) {
    config.abort_reason = reason.empty() ? "the run failed" : reason;
    hold_error_lines(true);
    for (const auto& start : config.aborters)
        start();
    config.aborters.clear();
    // What is ready runs first: a connection waiting to be accepted starts its session, which
    // then sends the abort as soon as it knows its peer.
    io.restart();
    io.poll();
    const auto until = std::chrono::steady_clock::now() + bound;
    while ((config.telling > 0 || config.starting > 0) &&
           std::chrono::steady_clock::now() < until) {
        if (io.stopped()) // a line held meanwhile stops the loop too
            io.restart();
        if (io.run_one_until(until) == 0) // the bound has passed, or nothing is left to run
            break;
    }
    io.stop(); // as the failure left it: teardown relies on a stopped loop
    hold_error_lines(false);
}

std::string produced_groups(const session_config& config) {
    const std::size_t last = config.produced_last
                                 ? std::min<std::size_t>(*config.produced_last,
                                                         config.groups.size() - 1)
                                 : config.groups.size() - 1;
    if (last == 0)
        return "this job produces only group 0";
    return "this job produces groups 0 to " + std::to_string(last);
}

void set_peer_timeout(tcp::socket::lowest_layer_type& socket, int seconds) {
    const int fd = socket.native_handle();
    const int on = 1;
    const int probe_every = std::max(1, seconds / 4);
    const int probes = 4;
    const unsigned int timeout_ms = unsigned(seconds) * 1000u;
    // Best effort: a socket that refuses these is still usable, only less watched.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &probe_every, sizeof probe_every);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &probe_every, sizeof probe_every);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
}

namespace {

// What a worker connecting without the job's secret is told.
const std::string without_secret =
    "this job uses TLS and this worker does not hold its secret: give it the job's port file "
    "(-c @PATH) or --secret-file";

// The TLS handshake of a new connection, as the server when `accepted`, giving up at `limit`.
// Returns why it failed; empty when it succeeded. Throws the cancellation of a teardown.
std::string tls_handshake(const std::shared_ptr<tls_stream>& stream, bool accepted,
                          std::chrono::steady_clock::time_point limit,
                          const asio::yield_context& yield) {
    handshake_deadline deadline(stream, limit);
    boost::system::error_code ec;
    if (accepted) {
        // A worker without the job's secret speaks plain TCP: its first bytes are a handshake of
        // ours, not a TLS hello. Tell it so, in plain text, rather than leave it guessing.
        transport(*stream).async_wait(tcp::socket::wait_read, yield[ec]);
        unsigned char first[header_size];
        const ssize_t got = ec ? -1
                               : ::recv(transport(*stream).native_handle(), first, sizeof first,
                                        MSG_PEEK | MSG_DONTWAIT);
        const message_header h = load_header(first);
        if (got == ssize_t(sizeof first) && h.length == 0 && header_is_valid(h)) {
            deadline.finish();
            // Taken, so that closing sends an orderly end rather than a reset, which could make
            // the worker drop the notice unread.
            static_cast<void>(::recv(transport(*stream).native_handle(), first, sizeof first,
                                     MSG_DONTWAIT));
            asio::async_write(stream->next_layer(),
                              asio::buffer(abort_message(h.group, without_secret)), yield[ec]);
            transport(*stream).shutdown(tcp::socket::shutdown_send, ec);
            return "a plain handshake for group " + std::to_string(h.group) +
                   ": the peer does not hold this job's secret; told so";
        }
    }
    if (!ec)
        stream->async_handshake(accepted ? tls_stream::server : tls_stream::client, yield[ec]);
    if (deadline.finish())
        return "no TLS handshake before the deadline";
    if (is_cancellation(ec))
        throw boost::system::system_error(ec);
    if (ended(ec))
        return "closed during the TLS handshake";
    return ec ? ec.message() : std::string();
}

// The session of the input side (serving a group) or of a worker (receiving one).
template <class Stream>
void run_session(const std::shared_ptr<Stream>& stream, session_config& config, bool accepted,
                 starting_session& starting, const asio::yield_context& yield) {
    if (config.groupid < 0)
        serve_group(stream, config, starting, yield);
    else
        receive_group(stream, config, accepted, starting, yield);
}

// A TLS session: the handshake first, bounded like the protocol's own. A listener drops a peer
// that fails it as a stray; a connecting side fails, since the peer it was sent to is not one of
// the job's.
void run_tls_session(const std::shared_ptr<tls_stream>& stream, session_config& config,
                     bool accepted, starting_session& starting,
                     const asio::yield_context& yield) {
    const std::string label = peer_label(transport(*stream));
    const auto now = std::chrono::steady_clock::now();
    const auto limit = accepted ? now + handshake_grace
                                : now + std::chrono::seconds(config.peer_timeout);
    std::string failed;
    try {
        failed = tls_handshake(stream, accepted, limit, yield);
    } catch (const boost::system::system_error&) {
        return; // torn down with the loop
    }
    if (!failed.empty()) {
        boost::system::error_code ignored;
        transport(*stream).close(ignored);
        if (accepted)
            write_error_line(label + ": TLS handshake failed (" + failed +
                             "); connection dropped");
        else if (const std::string why = listener_failure(config); !why.empty())
            report_failure(context_of(stream->get_executor()), label, "input side failed: " + why);
        else
            report_failure(context_of(stream->get_executor()), label,
                           "TLS handshake failed (" + failed +
                               "): the peer does not hold this job's secret");
        return;
    }
    run_session(stream, config, accepted, starting, yield);
}

} // namespace

void start_session(tcp::socket& socket, session_config& config, bool accepted,
                   std::shared_ptr<tls_settings> tls) {
    asio::io_context& io = context_of(socket.get_executor());
    ++config.starting;
    // The session owns the socket from here on; the caller's is left closed for the next use.
    if (tls) {
        auto own = std::make_shared<tls_stream>(std::move(socket), tls->context());
        // Kept with the session for the handshake, whose key callbacks read them. (An OpenSSL
        // connection holds its own reference to the OpenSSL context: teardown order is free.)
        spawn_coroutine(io,
                    [own, tls, &config, accepted](const asio::yield_context& yield) {
                        starting_session starting(config);
                        run_tls_session(own, config, accepted, starting, yield);
                    });
        return;
    }
    auto own = std::make_shared<tcp::socket>(std::move(socket));
    spawn_coroutine(io, [own, &config, accepted](const asio::yield_context& yield) {
        starting_session starting(config);
        run_session(own, config, accepted, starting, yield);
    });
}

} // namespace shuffler
