#include "net/session.hpp"

#include "core/report.hpp"
#include "wire/message_header.hpp"
#include "wire/read_message.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace shuffler {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The peer's address:port for error lines, or a placeholder when the peer is already gone.
std::string peer_label(const tcp::socket& socket) {
    boost::system::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return "unknown peer";
    return boost::lexical_cast<std::string>(peer);
}

// How long a peer that has just connected may take to send its handshake, even when the run
// deadline is nearer.
const boost::posix_time::seconds handshake_grace(10);

// Reads and checks the peer's handshake, giving up at `limit`.
message_header read_handshake(const std::shared_ptr<tcp::socket>& socket, const group_table& groups,
                              boost::posix_time::ptime limit, asio::yield_context yield) {
    struct state {
        bool done = false;    // the read finished first; the timer must not touch the socket
        bool expired = false; // the timer cancelled the read
    };
    auto s = std::make_shared<state>();
    asio::deadline_timer timer(context_of(socket->get_executor()), limit);
    timer.async_wait([socket, s](const boost::system::error_code& ec) {
        if (ec || s->done) return;
        s->expired = true;
        boost::system::error_code ignored;
        socket->cancel(ignored);
    });
    char raw[header_size];
    boost::system::error_code ec;
    asio::async_read(*socket, asio::buffer(raw), yield[ec]);
    s->done = true;
    timer.cancel();
    if (s->expired) throw std::runtime_error("No handshake before the deadline");
    if (ec) throw boost::system::system_error(ec);
    const message_header h = load_header(raw);
    if (!header_is_valid(h) || h.length != 0) throw std::runtime_error("Bad handshake message");
    if (h.group >= groups.size()) throw std::runtime_error("Group id exceeds maximum");
    return h;
}

} // namespace

void start_session(tcp::socket& socket, const session_config& config,
                   boost::posix_time::ptime run_deadline) {
    asio::io_context& io = context_of(socket.get_executor());
    // The session owns the socket from here on; the caller's is left closed for the next use.
    auto own = std::make_shared<tcp::socket>(std::move(socket));
    asio::spawn(asio::make_strand(io), [own, &config, run_deadline](asio::yield_context yield) {
        if (config.groupid < 0)
            serve_group(own, config.groups, run_deadline, yield);
        else
            receive_group(*own, config.groupid, config.groups, yield);
    });
}

void serve_group(const std::shared_ptr<tcp::socket>& socket, group_table& groups,
                 boost::posix_time::ptime run_deadline, asio::yield_context yield) {
    asio::io_context& io = context_of(socket->get_executor());
    const std::string label = peer_label(*socket);
    sg_buffer_list list(groups.pool());
    try {
        const auto now = boost::posix_time::microsec_clock::universal_time();
        const message_header h =
            read_handshake(socket, groups, std::max(run_deadline, now + handshake_grace), yield);
        group_record& record = groups[h.group];
        record.claim = h.group;
        for (;;) {
            list.release();
            pop_message(record, list, yield);
            const std::size_t sent =
                asio::async_write(*socket, list.const_buffers(), transfer_all_at_once{}, yield);
            list.consume(sent);
        }
    } catch (const std::exception&) {
        report_current_exception(io, label);
    }
}

void receive_group(tcp::socket& socket, std::int32_t groupid, group_table& groups,
                   asio::yield_context yield) {
    asio::io_context& io = context_of(socket.get_executor());
    const std::string label = peer_label(socket);
    sg_buffer_list list(groups.pool());
    try {
        const message_header handshake = make_handshake(std::uint16_t(groupid));
        asio::async_write(socket, asio::buffer(&handshake, sizeof handshake), yield);
        for (;;) {
            list.release();
            read_message(socket, list, yield);
            push_message(groups[0], list);
        }
    } catch (const std::exception&) {
        report_current_exception(io, label, silent_end::cancellation_or_end_of_stream);
    }
}

} // namespace shuffler
