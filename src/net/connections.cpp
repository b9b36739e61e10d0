#include "net/connections.hpp"

#include "core/private_file.hpp"
#include "core/report.hpp"
#include "net/address.hpp"
#include "net/local_peer.hpp"
#include "net/port_file.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace shuffler {

namespace asio = boost::asio;
using asio::ip::tcp;

tcp::resolver::results_type resolve_address(const std::string& address,
                                            asio::steady_timer& run_timer,
                                            const asio::yield_context& yield, bool listening) {
    // Checked on the command line too; this catches what a port file says.
    if (const std::string problem = address_problem(address, listening); !problem.empty())
        throw std::runtime_error("invalid address: " + problem);
    std::string host, port;
    split_address(address, host, port);
    if (host.empty())
        host = "localhost";

    asio::io_context& io = context_of(run_timer.get_executor());
    // Shared with the deadline handler, which may run after this call has returned.
    auto resolver = std::make_shared<tcp::resolver>(io);
    asio::steady_timer deadline(io, run_timer.expiry());
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
constexpr std::chrono::milliseconds port_file_poll(50);

// read_rendezvous on a thread of its own, as files are read: a stalled network file system
// holds up this connection, never the loop and the sessions on it. The thread tells the loop
// through a pipe, and touches nothing of the loop's, so it may outlive it. Throws when the run
// deadline comes first.
std::optional<rendezvous> read_rendezvous_aside(const std::string& path,
                                                asio::steady_timer& run_timer,
                                                const asio::yield_context& yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    struct result {
        std::atomic<bool> ready{false};
        std::optional<rendezvous> found;
        std::exception_ptr error;
    };
    const auto shared = std::make_shared<result>();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "pipe");
    const auto told = std::make_shared<asio::posix::stream_descriptor>(io, ends[0]);
    try {
        std::thread([shared, path, writer = ends[1]] {
            try {
                shared->found = read_rendezvous(path);
            } catch (...) {
                shared->error = std::current_exception();
            }
            shared->ready.store(true, std::memory_order_release);
            const char byte = 0;
            [[maybe_unused]] const ssize_t ignored = ::write(writer, &byte, 1);
            ::close(writer);
        }).detach();
    } catch (...) {
        ::close(ends[1]);
        throw;
    }
    // A read takes microseconds: one begun at the deadline still gets a second.
    asio::steady_timer deadline(
        io, std::max(run_timer.expiry(), std::chrono::steady_clock::now() + std::chrono::seconds(1)));
    const auto timed_out = std::make_shared<bool>(false);
    deadline.async_wait([told, timed_out](const boost::system::error_code& ec) {
        if (ec)
            return;
        *timed_out = true;
        told->cancel();
    });
    boost::system::error_code ec;
    told->async_wait(asio::posix::stream_descriptor::wait_read, yield[ec]);
    deadline.cancel();
    if (!shared->ready.load(std::memory_order_acquire)) {
        if (!*timed_out)
            throw boost::system::system_error(ec ? ec : asio::error::operation_aborted);
        throw std::runtime_error("could not be read before the deadline");
    }
    if (shared->error)
        std::rethrow_exception(shared->error);
    return shared->found;
}

// How long one connect to the address of a port file may go unanswered before the file is read
// again (a live listener answers within a round trip; the kernel alone would retry for minutes).
constexpr std::chrono::seconds connect_attempt_limit(2);

// What the port file `path` tells once it has an address; throws when the run deadline comes
// first.
rendezvous wait_for_port_file(const std::string& path, asio::steady_timer& run_timer,
                              const asio::yield_context& yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    for (;;) {
        if (const auto found = read_rendezvous_aside(path, run_timer, yield))
            return *found; // an address, or the listener's failure
        const auto now = std::chrono::steady_clock::now();
        if (now >= run_timer.expiry())
            throw std::runtime_error("not written before the deadline");
        asio::steady_timer pause(io, std::min(run_timer.expiry(), now + port_file_poll));
        pause.async_wait(yield);
    }
}

// resolve_address, with a resolution cut off by the deadline said as such.
tcp::resolver::results_type resolve_before_deadline(const std::string& address,
                                                    asio::steady_timer& run_timer,
                                                    const asio::yield_context& yield) {
    try {
        return resolve_address(address, run_timer, yield, false);
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

// On a loopback connection, why the process at its other end may not be trusted: it runs as
// another user, or its socket is gone already. "" when it runs as ours. Any user of the machine
// can reach a loopback port, so plain TCP there is only private when this is checked.
std::string other_user_at(const tcp::socket& socket) {
    boost::system::error_code ec;
    const tcp::endpoint local = socket.local_endpoint(ec);
    const tcp::endpoint remote = ec ? tcp::endpoint() : socket.remote_endpoint(ec);
    if (ec)
        return ec.message();
    // Its socket: its own end is our remote one, and the other way round.
    const std::optional<uid_t> owner = socket_owner(remote, local);
    if (!owner)
        return "closed before its user could be seen";
    if (*owner == ::geteuid())
        return "";
    return "runs as " + describe_user(*owner) + ", not as this job's user";
}

} // namespace

namespace {

// Ends the run when the port file says its listener failed: the peer this process waits for will
// not come. The listener is an input side when this process is a worker, and the other way round.
bool listener_failed(const rendezvous& found, const std::string& path,
                     const session_config& config, asio::io_context& io) {
    if (found.failed.empty())
        return false;
    report_failure(io, path,
                   (config.groupid < 0 ? "worker failed: " : "input side failed: ") +
                       found.failed);
    return true;
}

} // namespace

void connect_peer(const std::string& address, session_config& config,
                  asio::steady_timer& run_timer, const asio::yield_context& yield) {
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
            if (listener_failed(found, path, config, io))
                return;
            target = found.address;
            secret = found.secret;
            config.rendezvous_path = path;
        }
        subject = target;
        tcp::resolver::results_type endpoints = resolve_before_deadline(target, run_timer, yield);
        // Shared with the deadline handler, which may already be queued when the connect
        // completes and so run after this coroutine has ended.
        const auto socket_owner = std::make_shared<tcp::socket>(io);
        tcp::socket& socket = *socket_owner;
        // A host that never answers would hold a connect for the kernel's SYN retries (minutes):
        // the deadline closes the attempt instead.
        auto deadline_reached = std::make_shared<bool>(false);
        asio::steady_timer deadline(io, run_timer.expiry());
        deadline.async_wait([deadline_reached, socket_owner](const boost::system::error_code& ec) {
            if (ec || *deadline_reached)
                return;
            *deadline_reached = true;
            boost::system::error_code ignored;
            socket_owner->close(ignored);
        });
        // Retries start fast, for a peer that is just starting, and slow down to once a second.
        std::chrono::milliseconds pause(20);
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
            asio::steady_timer attempt_timer(io, connect_attempt_limit);
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
                // A deadline handler already queued must leave the session's socket alone.
                *deadline_reached = true;
                deadline.cancel();
                // A listener of another user on a loopback port (one that took the port first)
                // must not get this job's data, nor feed it.
                boost::system::error_code gone; // then the session fails as it starts
                const tcp::endpoint peer = socket.remote_endpoint(gone);
                if (!config.insecure && !gone && is_loopback(peer.address())) {
                    const std::string problem = other_user_at(socket);
                    if (!problem.empty() && from_file) {
                        // A listener gone already may have said why in its file.
                        const auto now_in_file = read_rendezvous_aside(path, run_timer, yield);
                        if (now_in_file && listener_failed(*now_in_file, path, config, io))
                            return;
                    }
                    if (!problem.empty()) {
                        report_failure(io, subject, "the listener " + problem +
                                                        "; not trusted (--insecure connects)");
                        return;
                    }
                }
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
            asio::steady_timer wait(io, pause);
            wait.async_wait(yield);
            pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::seconds(1));
            if (from_file) {
                // A port file left behind by an earlier run names a port nobody listens on; this
                // run's listener replaces it.
                subject = path;
                const auto now_in_file = read_rendezvous_aside(path, run_timer, yield);
                if (now_in_file && listener_failed(*now_in_file, path, config, io))
                    return;
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
                  asio::steady_timer& run_timer, const asio::yield_context& yield) {
    asio::io_context& io = context_of(run_timer.get_executor());
    // Removes the port file once nothing accepts any more: a file left behind would send the
    // next run's peers to a port that may by then belong to someone else.
    struct port_file_owner {
        run_report& report;
        std::string path;
        ~port_file_owner() {
            // A failed run replaces it with its reason (see run), for peers still to come; only
            // a second signal, ending the process at once, removes it then.
            if (!path.empty() && !report.failed()) {
                ::unlink(path.c_str());
                report.keep_if_ended_at_once(path);
            }
        }
    } written{report_to(io), ""};
    try {
        const auto endpoints = resolve_address(address, run_timer, yield);
        if (report_to(io).failed())
            return; // the run failed meanwhile: its port file says so already, keep it
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
                report_to(io).remove_if_ended_at_once(port_file);
            } catch (const std::exception& e) {
                report_failure(io, port_file, error_text(e));
                return;
            }
        }

        // Accepting stops at the deadline, or earlier when the run cancels its timer because its
        // work is done.
        run_timer.async_wait([acceptor](const boost::system::error_code&) {
            boost::system::error_code ignored;
            acceptor->close(ignored);
        });
        // On a loopback address, only peers of this user are served: another user of the
        // machine is dropped before a byte is read from them or sent to them.
        const bool own_user_only =
            !config.insecure && is_loopback(acceptor->local_endpoint().address());
        tcp::socket socket(io);
        for (;;) {
            boost::system::error_code ec;
            acceptor->async_accept(socket, yield[ec]);
            if (!ec && own_user_only) {
                std::string problem;
                try {
                    problem = other_user_at(socket);
                } catch (const std::exception& e) {
                    problem = error_text(e);
                }
                if (!problem.empty()) {
                    boost::system::error_code ignored;
                    const tcp::endpoint peer = socket.remote_endpoint(ignored);
                    report_to(io).note(boost::lexical_cast<std::string>(peer) + ": " + problem +
                                       "; connection dropped (--insecure accepts it)");
                    socket.close(ignored);
                    continue;
                }
            }
            if (!ec) {
                start_session(socket, config, true, config.tls);
                continue;
            }
            if (ec == asio::error::interrupted || ec == asio::error::connection_aborted)
                continue;
            if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
                // Out of descriptors: sessions ending will free some; try again shortly.
                asio::steady_timer pause(io, std::chrono::milliseconds(100));
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
