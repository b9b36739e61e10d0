#include "net/session.hpp"

#include "core/report.hpp"
#include "net/peer_stream.hpp"
#include "net/port_file.hpp"
#include "net/receive.hpp"
#include "net/serve.hpp"

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <sys/socket.h>

// What both roles share: starting a session (over TCP or TLS, the TLS handshake), the abort
// every peer is told of when the run fails, the end of every session at teardown, and keepalive.
// The roles themselves: net/serve.cpp (the input side), net/receive.cpp (a worker).

namespace shuffler {

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

std::string peer_label(const transport_socket& socket) {
    boost::system::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec)
        return "unknown peer";
    return boost::lexical_cast<std::string>(peer);
}

void end_sessions(session_config& config) {
    config.tally.changed = nullptr; // what it would stop is gone already
    for (const auto& cancel : config.cancellers)
        cancel();
    config.cancellers.clear();
    if (config.output)
        config.output->turn.cancel_all();
}

void start_telling(session_config& config, const std::string& reason) {
    config.abort_reason = reason.empty() ? "the run failed" : reason;
    for (const auto& start : config.aborters)
        start();
    config.aborters.clear();
}

bool still_telling(const session_config& config) {
    return config.telling > 0 || config.starting > 0;
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
std::string tls_handshake(const std::shared_ptr<tls_socket>& stream, bool accepted,
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
        ec = stream->handshake(accepted, yield);
    if (deadline.finish())
        return accepted ? "no TLS handshake within " +
                              std::to_string(handshake_grace.count()) + " s of connecting"
                        : "no TLS handshake within the peer timeout";
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
void run_tls_session(const std::shared_ptr<tls_socket>& stream, session_config& config,
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
            report_to(context_of(stream->get_executor()))
                .note(label + ": TLS handshake failed (" + failed + "); connection dropped");
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
        auto own = std::make_shared<tls_socket>(std::move(socket), std::move(tls));
        spawn_coroutine(io,
                    [own, &config, accepted](const asio::yield_context& yield) {
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
