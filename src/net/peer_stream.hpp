#pragma once

// What the sessions of both roles (net/serve.cpp, net/receive.cpp) share about their connection:
// its two kinds, the bounds on a handshake, and the abort message. For the files of net/ only.

#include "core/report.hpp"
#include "net/session.hpp"
#include "net/tls_socket.hpp"
#include "wire/message_header.hpp"

#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace shuffler {

namespace asio = boost::asio;
using asio::ip::tcp;

// The sessions run on either kind of connection: plain TCP, or TLS over it when the job has a
// secret. Both give the TCP socket beneath for closing, cancelling and socket options.
using transport_socket = tcp::socket::lowest_layer_type;
inline transport_socket& transport(tcp::socket& s) { return s.lowest_layer(); }
inline transport_socket& transport(tls_socket& s) { return s.lowest_layer(); }

// The normal end of a received connection (over TLS too, where a peer may close its socket
// without TLS's closing message: the protocol's own end mark tells whether the data was whole).
inline bool ended(const boost::system::error_code& ec) { return is_end_of_stream(ec); }

// The peer's address:port for error lines, or a placeholder when the peer is already gone.
std::string peer_label(const transport_socket& socket);

// Why the input side a worker joined through its port file failed, or "": a listener that fails
// while a connection is still in its handshake closes it without an abort, but its file says why.
std::string listener_failure(const session_config& config);

// How long a peer that has just connected may take to send its handshake, whatever the run's
// deadline: a silent connection (a port scan, a health check) must not hold a finished run open.
inline constexpr std::chrono::seconds handshake_grace(10);

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
            stream->cancel(ignored);
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

// The abort message of a peer: its run has failed, for the reason it carries.
struct peer_aborted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whether the header `h`, on a connection for `group`, opens an abort message.
inline bool is_abort(const message_header& h, std::uint16_t group) {
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

// How long a connection that has sent its abort waits for its peer to close.
inline constexpr std::chrono::seconds abort_grace(2);

// Sends the abort message with `why` on a connection for `group` that carries nothing else, and
// closes it once the peer has (see send_group in net/serve.cpp), or after abort_grace.
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

} // namespace shuffler
