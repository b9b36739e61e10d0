#include "net/session.hpp"

#include "driver/report.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "net/read_message.hpp"
#include "net/transfer.hpp"
#include "pipes/pipe_descriptor.hpp"

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
    if (ec)
        return "unknown peer";
    return boost::lexical_cast<std::string>(peer);
}

// How long a peer that has just connected may take to send its handshake, even when the run
// deadline is nearer.
const boost::posix_time::seconds handshake_grace(10);

// Reads and checks the peer's handshake, giving up at `limit`.
message_header read_handshake(const std::shared_ptr<tcp::socket>& socket,
                              boost::posix_time::ptime limit, asio::yield_context yield) {
    struct state {
        bool done = false;    // the read finished first; the timer must not touch the socket
        bool expired = false; // the timer cancelled the read
    };
    auto s = std::make_shared<state>();
    asio::deadline_timer timer(context_of(socket->get_executor()), limit);
    timer.async_wait([socket, s](const boost::system::error_code& ec) {
        if (ec || s->done)
            return;
        s->expired = true;
        boost::system::error_code ignored;
        socket->cancel(ignored);
    });
    char raw[header_size];
    boost::system::error_code ec;
    asio::async_read(*socket, asio::buffer(raw), yield[ec]);
    s->done = true;
    timer.cancel();
    if (s->expired)
        throw std::runtime_error("No handshake before the deadline");
    if (ec)
        throw boost::system::system_error(ec);
    const message_header h = load_header(raw);
    if (!header_is_valid(h) || h.length != 0)
        throw std::runtime_error("Bad handshake message");
    if (h.group >= the_group_table.size())
        throw std::runtime_error("Group id exceeds maximum");
    return h;
}

} // namespace

void shuffle(tcp::socket& socket, int groupid, boost::posix_time::ptime run_deadline) {
    asio::io_context& io = context_of(socket.get_executor());
    // The session owns the socket from here on; the caller's is left closed for the next use.
    auto own = std::make_shared<tcp::socket>(std::move(socket));
    asio::spawn(asio::make_strand(io), [own, groupid, run_deadline](asio::yield_context yield) {
        if (groupid < 0)
            serve_group(own, run_deadline, yield);
        else
            receive_group(*own, groupid, yield);
    });
}

void serve_group(const std::shared_ptr<tcp::socket>& socket, boost::posix_time::ptime run_deadline,
                 asio::yield_context yield) {
    asio::io_context& io = context_of(socket->get_executor());
    const std::string label = peer_label(*socket);
    sg_buffer_list list;
    try {
        const auto now = boost::posix_time::microsec_clock::universal_time();
        const message_header h =
            read_handshake(socket, std::max(run_deadline, now + handshake_grace), yield);
        group_record& record = the_group_table[h.group];
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

void receive_group(tcp::socket& socket, int groupid, asio::yield_context yield) {
    asio::io_context& io = context_of(socket.get_executor());
    const std::string label = peer_label(socket);
    sg_buffer_list list;
    try {
        const message_header handshake = make_handshake(std::uint16_t(groupid));
        asio::async_write(socket, asio::buffer(&handshake, sizeof handshake), yield);
        for (;;) {
            list.release();
            read_message(socket, list, yield);
            push_message(the_group_table[0], list);
        }
    } catch (const std::exception&) {
        report_current_exception(io, label, end_of_file_value);
    }
}

void route_messages(pipe_descriptor& pipe, asio::yield_context yield) {
    asio::io_context& io = context_of(pipe.descriptor.get_executor());
    sg_buffer_list list;
    try {
        for (;;) {
            list.release();
            read_message(pipe.descriptor, list, yield);
            const sg_buffer& first = list.blocks().front();
            const message_header h = load_header(first.data + first.begin);
            if (h.group >= the_group_table.size())
                throw std::runtime_error("Group id exceeds maximum");
            push_message(the_group_table[h.group], list);
        }
    } catch (const std::exception&) {
        report_current_exception(io, pipe.description(), end_of_file_value);
    }
}

} // namespace shuffler
