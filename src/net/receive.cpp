#include "net/receive.hpp"

#include "core/report.hpp"
#include "wire/read_message.hpp"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <type_traits>
#include <utility>
#include <vector>

namespace shuffler {

namespace {

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
    bool closed_early = false; // TLS: the peer closed while the window was full (see close_watch)
    std::uint64_t& written;          // payload bytes written to the output, for reports
    boost::system::error_code acknowledgement_error; // why it stopped taking them
    wait_queue reader_waits, writer_waits;
};

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
        // A reset that follows the peer's close is how the kernel tells a broken pipe: it is
        // the close that the worker saw.
        report_failure(context_of(socket.get_executor()), label,
                       error == EPIPE ? "connection closed before the end of data"
                                      : boost::system::error_code(
                                            error, boost::system::system_category())
                                            .message());
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
// final acknowledgement, so this is an input side that died or failed; a sender that closes
// right after its end mark is not. Looked at only while the window is full. Returns why: the
// reason of an abort message among the unread bytes, else "connection closed before the end of
// data"; "" when the peer has not closed or the stream is whole.
std::string closed_before_the_end(int fd, bool marked, std::uint16_t group) {
    if (!peer_closed(fd))
        return "";
    const std::string closed = "connection closed before the end of data";
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0)
        return "";
    std::string bytes(std::size_t(waiting), '\0'); // rare: a peer that has gone
    const ssize_t got = waiting > 0 ? ::recv(fd, bytes.data(), bytes.size(),
                                             MSG_PEEK | MSG_DONTWAIT)
                                    : 0;
    if (got < 0)
        return "";
    std::size_t at = 0;
    while (at + header_size <= std::size_t(got)) {
        const message_header h = load_header(bytes.data() + at);
        if (!header_is_valid(h))
            return closed;
        if (h.group == abort_group(group) && at + header_size + h.length <= std::size_t(got))
            return "input side failed: " +
                   abort_reason_text(bytes.data() + at + header_size, h.length);
        marked = h.length == 0;
        at += header_size + h.length;
    }
    return at != std::size_t(got) || !marked ? closed : "";
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

// Under TLS, what a peer that has closed early sent last: its bytes cannot be looked into without
// taking them, so the reader takes and drops the rest of the stream (whatever the socket still
// holds) to find the abort message among it, as closed_before_the_end finds it on plain TCP.
template <class Stream>
std::string reason_among_the_rest(Stream& stream, std::uint16_t group,
                                  const asio::yield_context& yield) {
    const std::string closed = "connection closed before the end of data";
    std::vector<char> dropped(64 * 1024);
    for (;;) {
        unsigned char raw[header_size];
        boost::system::error_code ec;
        asio::async_read(stream, asio::buffer(raw), yield[ec]);
        const message_header h = load_header(raw);
        if (ec || !header_is_valid(h))
            return closed;
        if (is_abort(h, group))
            return "input side failed: " + read_abort_reason(stream, h.length, yield);
        for (std::uint64_t left = h.length; left > 0;) {
            const std::size_t n = asio::async_read(
                stream, asio::buffer(dropped.data(), std::min<std::uint64_t>(left, dropped.size())),
                yield[ec]);
            if (ec)
                return closed;
            left -= n;
        }
    }
}

// While the reader waits for the window, the connection is looked at once a second for an input
// side that has died: its worker must not wait for a stalled consumer to find out. Under TLS any
// close counts unless the last message taken was the end mark (a live input side closes only after
// the final acknowledgement): the reader is woken to find out why (reason_among_the_rest).
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
            if constexpr (std::is_same_v<Stream, tcp::socket>) {
                if (const std::string why = closed_before_the_end(fd, marked, kept->group);
                    !why.empty())
                    return report_failure(context_of(timer_.get_executor()), label, why);
            } else if (!marked && peer_closed(fd)) {
                kept->closed_early = true;
                return kept->reader_waits.wake_all();
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
    const message_header ack = acknowledgement_message(r->group);
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
void receive_group_on(const std::shared_ptr<Stream>& stream, session_config& config, bool accepted,
                   starting_session& starting, const asio::yield_context& yield) {
    asio::io_context& io = context_of(stream->get_executor());
    const std::string label = peer_label(transport(*stream));
    const std::uint16_t group = std::uint16_t(config.groupid);
    if (!config.abort_reason.empty()) {
        // This worker failed before it could start: its input side learns why at once.
        const message_header handshake = handshake_message(group);
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
        const message_header handshake = handshake_message(group);
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
                while (r->held.size() >= send_window && r->writing && !r->closed_early)
                    r->reader_waits.wait(yield);
            }
            if (r->closed_early) {
                report_failure(io, label, reason_among_the_rest(*stream, group, yield));
                return;
            }
            if (!r->writing) {
                // The writer has failed and said why; the input side learns it too.
                if (report_to(io).failed() && !r->told) {
                    r->told = true;
                    ++config.telling;
                    tell_input_side(*stream, group, report_to(io).reason(), yield);
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
            if (empty && at_end_mark && !data_seen) {
                // Our acknowledgement of its handshake goes out before the close: without it the
                // other side would see one empty message and a close, as a group without data
                // ends. (Over TLS it is still being encrypted when this second message comes.)
                while (!r->held.empty() && r->writing)
                    r->reader_waits.wait(yield);
                throw std::runtime_error("peer is an output side too");
            }
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
            // is that same signal's news; the worker's own interruption is its one line, said
            // here, since its own report, yet to run, stays silent after a failure.
            if (const int signal = report_to(io).stop_signal(); signal != 0) {
                report_line(io, interrupted_by(signal));
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
            report_to(io).note(label + ": nothing received before the group was delivered; "
                                     "connection dropped");
            return;
        }
        if (error && is_cancellation(error->code()) && !late)
            return;
        const std::string why = late ? "nothing received before the deadline" : error_text(e);
        if (!started && accepted) {
            // Nothing valid came: a stray connection to our listener, not an input side.
            report_to(io).note(label + ": " +
                             (!late && error && ended(error->code()) ? "closed before any data"
                                                                     : why) +
                             "; connection dropped");
            return;
        }
        const bool finished = error && ended(error->code()) && at_end_mark;
        if (!finished) {
            // A write that failed first (a peer timeout) says more than the close seen after it;
            // one that met the close itself (a broken pipe, a reset) says less.
            const bool closed = !late && error && ended(error->code());
            const boost::system::error_code ack = r->acknowledgement_error;
            const bool ack_says_more = ack && ack != asio::error::broken_pipe &&
                                       ack != asio::error::connection_reset;
            if (const std::string failed = listener_failure(config); !failed.empty()) {
                report_failure(io, label, "input side failed: " + failed);
                return;
            }
            report_failure(io, label,
                           closed && ack_says_more ? ack.message()
                           : closed                ? "connection closed before the end of data"
                                                   : why);
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

void receive_group(const std::shared_ptr<tcp::socket>& stream, session_config& config,
                   bool accepted, starting_session& starting, const asio::yield_context& yield) {
    receive_group_on(stream, config, accepted, starting, yield);
}

void receive_group(const std::shared_ptr<tls_socket>& stream, session_config& config,
                   bool accepted, starting_session& starting, const asio::yield_context& yield) {
    receive_group_on(stream, config, accepted, starting, yield);
}

} // namespace shuffler
