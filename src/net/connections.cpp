#include "net/connections.hpp"

#include "core/report.hpp"

#include <boost/algorithm/string/split.hpp>
#include <boost/asio/connect.hpp>

#include <algorithm>
#include <cerrno>

#include <memory>
#include <stdexcept>
#include <vector>

namespace shuffler {

namespace asio = boost::asio;
using asio::ip::tcp;

tcp::resolver::results_type resolve_address(const std::string& address,
                                            asio::deadline_timer& run_timer,
                                            asio::yield_context yield) {
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, address, [](char c) { return c == ':'; });
    if (tokens.size() < 2)
        throw std::runtime_error("invalid address, expected host:port");
    const std::string host = tokens[0].empty() ? "localhost" : tokens[0];

    asio::io_context& io = context_of(run_timer.get_executor());
    // Shared with the deadline handler, which may run after this call has returned.
    auto resolver = std::make_shared<tcp::resolver>(io);
    asio::deadline_timer deadline(io, run_timer.expires_at());
    deadline.async_wait([resolver](const boost::system::error_code& ec) {
        if (!ec)
            resolver->cancel();
    });
    boost::system::error_code ec;
    auto results = resolver->async_resolve(host, tokens[1], yield[ec]);
    deadline.cancel();
    if (ec)
        throw boost::system::system_error(ec);
    return results;
}

void connect_peer(const std::string& address, session_config& config,
                  asio::deadline_timer& run_timer, asio::yield_context yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    try {
        tcp::resolver::results_type endpoints;
        try {
            endpoints = resolve_address(address, run_timer, yield);
        } catch (const boost::system::system_error& e) {
            if (!is_cancellation(e.code()))
                throw;
            // Not a silent end: the peer this process was meant to reach was never tried.
            throw std::runtime_error("address resolution did not finish before the deadline");
        }
        tcp::socket socket(io);
        // A host that never answers would hold a connect for the kernel's SYN retries (minutes):
        // the deadline closes the attempt instead.
        auto deadline_reached = std::make_shared<bool>(false);
        asio::deadline_timer deadline(io, run_timer.expires_at());
        deadline.async_wait([deadline_reached, &socket](const boost::system::error_code& ec) {
            if (ec)
                return;
            *deadline_reached = true;
            boost::system::error_code ignored;
            socket.close(ignored);
        });
        // Retries start fast, for a peer that is just starting, and slow down to once a second.
        boost::posix_time::time_duration pause = boost::posix_time::milliseconds(20);
        boost::system::error_code last_error; // of the attempts the peer refused
        for (;;) {
            boost::system::error_code ec = asio::error::operation_aborted;
            if (!*deadline_reached)
                asio::async_connect(socket, endpoints, yield[ec]);
            if (!ec && !*deadline_reached) {
                deadline.cancel();
                start_session(socket, config, false, run_timer.expires_at());
                return;
            }
            if (*deadline_reached) {
                report_failure(io, address,
                               last_error ? last_error.message() : "no answer before the deadline");
                return;
            }
            if (ec != asio::error::connection_refused && ec != asio::error::timed_out) {
                deadline.cancel();
                report_failure(io, address, ec.message());
                return;
            }
            last_error = ec;
            socket.close();
            asio::deadline_timer wait(io, pause);
            wait.async_wait(yield);
            pause = std::min<boost::posix_time::time_duration>(pause * 2,
                                                               boost::posix_time::seconds(1));
        }
    } catch (const std::exception&) {
        report_current_exception(io, address);
    }
}

void accept_peers(const std::string& address, session_config& config,
                  asio::deadline_timer& run_timer, asio::yield_context yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    try {
        const auto endpoints = resolve_address(address, run_timer, yield);
        const tcp::endpoint endpoint = endpoints.begin()->endpoint();
        auto acceptor = std::make_shared<tcp::acceptor>(io);
        acceptor->open(endpoint.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        acceptor->bind(endpoint);
        acceptor->listen(128);

        // Accepting stops at the deadline, or earlier when the run cancels its timer because its
        // work is done.
        run_timer.async_wait([acceptor](const boost::system::error_code&) {
            boost::system::error_code ignored;
            acceptor->close(ignored);
        });
        tcp::socket socket(io);
        for (;;) {
            boost::system::error_code ec;
            acceptor->async_accept(socket, yield[ec]);
            if (!ec) {
                start_session(socket, config, true, run_timer.expires_at());
                continue;
            }
            if (ec == asio::error::interrupted || ec == asio::error::connection_aborted)
                continue;
            if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
                // Out of descriptors: sessions ending will free some; try again shortly.
                asio::deadline_timer pause(io, boost::posix_time::milliseconds(100));
                pause.async_wait(yield);
                continue;
            }
            if (!is_cancellation(ec) && ec != asio::error::bad_descriptor)
                report_failure(io, address, ec.message());
            return;
        }
    } catch (const std::exception&) {
        report_current_exception(io, address);
    }
}

} // namespace shuffler
