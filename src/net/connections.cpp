#include "net/connections.hpp"

#include "core/report.hpp"

#include <boost/algorithm/string/split.hpp>
#include <boost/asio/connect.hpp>

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

void connect_peer(const std::string& address, const session_config& config,
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
        auto deadline_reached = std::make_shared<bool>(false);
        asio::deadline_timer deadline(io, run_timer.expires_at());
        deadline.async_wait([deadline_reached](const boost::system::error_code& ec) {
            if (!ec)
                *deadline_reached = true;
        });
        for (;;) {
            boost::system::error_code ec;
            asio::async_connect(socket, endpoints, yield[ec]);
            if (!ec) {
                start_session(socket, config, run_timer.expires_at());
                break;
            }
            const bool retry =
                ec == asio::error::connection_refused || ec == asio::error::timed_out;
            if (retry) {
                socket.close();
                asio::deadline_timer pause(io, boost::posix_time::seconds(1));
                pause.async_wait(yield);
            }
            if (!retry || *deadline_reached) {
                report_failure(io, address, ec.message());
                break;
            }
        }
        deadline.cancel();
    } catch (const std::exception&) {
        report_current_exception(io, address);
    }
}

void accept_peers(const std::string& address, const session_config& config,
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

        asio::deadline_timer deadline(io, run_timer.expires_at());
        deadline.async_wait([acceptor](const boost::system::error_code& ec) {
            boost::system::error_code ignored;
            if (!ec)
                acceptor->cancel(ignored);
        });
        tcp::socket socket(io);
        for (;;) {
            boost::system::error_code ec;
            acceptor->async_accept(socket, yield[ec]);
            if (!ec) {
                start_session(socket, config, run_timer.expires_at());
                continue;
            }
            if (ec == asio::error::interrupted)
                continue;
            if (!is_cancellation(ec))
                report_failure(io, address, ec.message());
            break;
        }
        deadline.cancel();
    } catch (const std::exception&) {
        report_current_exception(io, address);
    }
}

} // namespace shuffler
