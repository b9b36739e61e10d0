#include "net/connections.hpp"

#include "core/report.hpp"
#include "net/port_file.hpp"

#include <boost/asio/connect.hpp>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unistd.h>
#include <stdexcept>
#include <vector>

namespace shuffler {

namespace asio = boost::asio;
using asio::ip::tcp;

tcp::resolver::results_type resolve_address(const std::string& address,
                                            asio::deadline_timer& run_timer,
                                            const asio::yield_context& yield) {
    std::string host, port;
    if (!split_address(address, host, port))
        throw std::runtime_error("invalid address, expected host:port");
    if (host.empty())
        host = "localhost";

    asio::io_context& io = context_of(run_timer.get_executor());
    // Shared with the deadline handler, which may run after this call has returned.
    auto resolver = std::make_shared<tcp::resolver>(io);
    asio::deadline_timer deadline(io, run_timer.expires_at());
    deadline.async_wait([resolver](const boost::system::error_code& ec) {
        if (!ec)
            resolver->cancel();
    });
    boost::system::error_code ec;
    auto results = resolver->async_resolve(host, port, yield[ec]);
    deadline.cancel();
    if (ec)
        throw boost::system::system_error(ec);
    return results;
}

namespace {

// How often a connecting side looks again for a port file that is not there yet.
const boost::posix_time::milliseconds port_file_poll(50);

// How long one connect to the address of a port file may go unanswered before the file is read
// again (a live listener answers within a round trip; the kernel alone would retry for minutes).
const boost::posix_time::seconds connect_attempt_limit(2);

// What the port file `path` tells once it has an address; throws when the run deadline comes
// first.
rendezvous wait_for_port_file(const std::string& path, asio::deadline_timer& run_timer,
                              const asio::yield_context& yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    for (;;) {
        if (const auto found = read_rendezvous(path))
            return *found;
        const auto now = boost::posix_time::microsec_clock::universal_time();
        if (now >= run_timer.expires_at())
            throw std::runtime_error("not written before the deadline");
        asio::deadline_timer pause(io, std::min(run_timer.expires_at(), now + port_file_poll));
        pause.async_wait(yield);
    }
}

// resolve_address, with a resolution cut off by the deadline said as such.
tcp::resolver::results_type resolve_before_deadline(const std::string& address,
                                                    asio::deadline_timer& run_timer,
                                                    const asio::yield_context& yield) {
    try {
        return resolve_address(address, run_timer, yield);
    } catch (const boost::system::system_error& e) {
        if (!is_cancellation(e.code()))
            throw;
        // Not a silent end: the peer this process was meant to reach was never tried.
        throw std::runtime_error("address resolution did not finish before the deadline");
    }
}

// The TLS settings of a connection: the run's own, else those of the secret its port file holds.
// The settings of the last secret read are kept, since a stale file's listener and the new one
// each tell their own.
std::shared_ptr<tls_settings> tls_for(const session_config& config, const std::string& secret,
                                      std::shared_ptr<tls_settings>& from_file) {
    if (config.tls || config.insecure || secret.empty())
        return config.tls;
    if (!from_file || from_file->secret() != secret)
        from_file = std::make_shared<tls_settings>(secret);
    return from_file;
}

} // namespace

void connect_peer(const std::string& address, session_config& config,
                  asio::deadline_timer& run_timer, const asio::yield_context& yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    const bool from_file = !address.empty() && address[0] == '@';
    const std::string path = from_file ? address.substr(1) : std::string();
    std::string target = address; // host:port
    std::string subject = from_file ? path : address;
    std::string secret;                         // the one the port file holds
    std::shared_ptr<tls_settings> file_settings; // made from it
    try {
        if (from_file) {
            const rendezvous found = wait_for_port_file(path, run_timer, yield);
            target = found.address;
            secret = found.secret;
        }
        subject = target;
        tcp::resolver::results_type endpoints = resolve_before_deadline(target, run_timer, yield);
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
            // A port file left by a run that died may name a host that no longer answers at
            // all: an attempt that hears nothing for a while ends, and the file is read again.
            struct attempt_state {
                bool done = false;    // the attempt ended first: the timer must not close it
                bool expired = false; // the timer ended the attempt
            };
            auto attempt = std::make_shared<attempt_state>();
            asio::deadline_timer attempt_timer(io, connect_attempt_limit);
            if (from_file)
                attempt_timer.async_wait([attempt, &socket](const boost::system::error_code& e) {
                    if (e || attempt->done)
                        return;
                    attempt->expired = true;
                    boost::system::error_code ignored;
                    socket.close(ignored);
                });
            if (!*deadline_reached)
                asio::async_connect(socket, endpoints, yield[ec]);
            attempt->done = true;
            attempt_timer.cancel();
            if (attempt->expired && !*deadline_reached)
                ec = asio::error::timed_out;
            if (!ec && !*deadline_reached) {
                deadline.cancel();
                start_session(socket, config, false, tls_for(config, secret, file_settings));
                return;
            }
            if (*deadline_reached) {
                report_failure(io, subject,
                               last_error ? last_error.message() : "no answer before the deadline");
                return;
            }
            if (ec != asio::error::connection_refused && ec != asio::error::timed_out) {
                deadline.cancel();
                report_failure(io, subject, ec.message());
                return;
            }
            last_error = ec;
            socket.close();
            asio::deadline_timer wait(io, pause);
            wait.async_wait(yield);
            pause = std::min<boost::posix_time::time_duration>(pause * 2,
                                                               boost::posix_time::seconds(1));
            if (from_file) {
                // A port file left behind by an earlier run names a port nobody listens on; this
                // run's listener replaces it.
                subject = path;
                const auto now_in_file = read_rendezvous(path);
                if (now_in_file)
                    secret = now_in_file->secret;
                if (now_in_file && now_in_file->address != target) {
                    target = now_in_file->address;
                    endpoints = resolve_before_deadline(target, run_timer, yield);
                }
                subject = target;
            }
        }
    } catch (const std::exception&) {
        report_current_exception(io, subject);
    }
}

void accept_peers(const std::string& address, const std::string& port_file,
                  const std::string& port_file_secret, session_config& config,
                  asio::deadline_timer& run_timer, const asio::yield_context& yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    // Removes the port file once nothing accepts any more: a file left behind would send the
    // next run's peers to a port that may by then belong to someone else.
    struct port_file_owner {
        std::string path;
        ~port_file_owner() {
            if (!path.empty())
                ::unlink(path.c_str());
        }
    } written;
    try {
        const auto endpoints = resolve_address(address, run_timer, yield);
        const tcp::endpoint endpoint = endpoints.begin()->endpoint();
        auto acceptor = std::make_shared<tcp::acceptor>(io);
        acceptor->open(endpoint.protocol());
        acceptor->set_option(asio::socket_base::reuse_address(true));
        acceptor->bind(endpoint);
        acceptor->listen(128);
        if (!port_file.empty()) {
            try {
                write_port_file(port_file, advertised_address(acceptor->local_endpoint()),
                                port_file_secret);
                written.path = port_file;
            } catch (const std::exception& e) {
                report_failure(io, port_file, e.what());
                return;
            }
        }

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
                start_session(socket, config, true, config.tls);
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
