#include "app/run.hpp"

#include "app/error_lines.hpp"
#include "app/run_status.hpp"
#include "core/coroutine.hpp"

#include "app/input_driver.hpp"
#include "app/output_target.hpp"
#include "app/progress.hpp"
#include "app/stop_signals.hpp"
#include "buffers/buffer_pool.hpp"
#include "core/offload.hpp"
#include "core/report.hpp"
#include "groups/group_table.hpp"
#include "groups/spill.hpp"
#include "groups/spill_store.hpp"
#include "net/connections.hpp"
#include "net/port_file.hpp"
#include "net/session.hpp"
#include "net/tls.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace shuffler {

namespace asio = boost::asio;

namespace {

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

// "real R user U sys S" and "children user U sys S", each line only if its usage is known.
void report_times(const timeval& start) {
    timeval end;
    gettimeofday(&end, nullptr);
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        const double real =
            double(end.tv_sec - start.tv_sec) + double(end.tv_usec - start.tv_usec) * 1e-6;
        std::ostringstream line;
        line << "real " << real << " user " << seconds(usage.ru_utime) << " sys "
             << seconds(usage.ru_stime);
        write_error_line(line.str());
    }
    if (getrusage(RUSAGE_CHILDREN, &usage) == 0) {
        std::ostringstream line;
        line << "children user " << seconds(usage.ru_utime) << " sys " << seconds(usage.ru_stime);
        write_error_line(line.str());
    }
}

// Runs the loop with a status line about once a second, drawn between handlers. The loop runs in
// slices rather than keeping a timer of its own, which would hold it open after its work is done.
void run_with_progress(asio::io_context& io, progress_report& report) {
    const bool in_place = ::isatty(STDERR_FILENO) == 1;
    while (!io.stopped()) {
        io.run_for(std::chrono::seconds(1));
        if (!io.stopped())
            report.update(in_place);
    }
}

// "summary: spill: W bytes written at X MB/s, R bytes read back at Y MB/s": the rates are
// the spill thread's own, over the time it spent in system calls and checksums.
void report_spill(const spill_store& store) {
    const auto rate = [](std::uint64_t bytes, double seconds) {
        std::ostringstream text;
        text.precision(1);
        text << std::fixed << (seconds > 0 ? double(bytes) / seconds / 1e6 : 0.0) << " MB/s";
        return text.str();
    };
    write_error_line("summary: spill: " + std::to_string(store.bytes_written()) +
                     " bytes written at " + rate(store.bytes_written(), store.write_seconds()) +
                     ", " + std::to_string(store.bytes_read()) + " bytes read back at " +
                     rate(store.bytes_read(), store.read_seconds()));
}

// How long a failed run goes on to tell its connected peers why: a peer whose connection is full
// (its consumer stalled) cannot take the message, and sees the connection close instead.
constexpr std::chrono::seconds telling_bound(2);

// Runs what the loop has ready, and what that makes ready, until nothing is and no other thread
// still works for it (TLS's crypto threads): after waits were ended, their coroutines resume
// (wake-ups go through the loop) and unwind while all they touch still exists. The loop is left
// stopped, as teardown expects it (nothing waits on it any more).
// After a failure, what the unwinding reports is a consequence of it: held, not news.
void settle(asio::io_context& io, run_status& status) {
    const bool hold = status.failed();
    if (hold)
        status.hold_lines(true);
    do
        io.restart();
    while (io.poll() > 0 || offloads_of(io).wait_until_none());
    io.stop();
    if (hold)
        status.hold_lines(false);
}

// The last group the input can produce (see session_config::produced_last): FASTQ only group 0;
// SAM group 0 and the shards up to the last (a number between shard keys is a shard with no
// intervals, whose workers get the header); a stored stream any group of the table.
std::optional<std::uint16_t> last_produced_group(const run_config& config) {
    if (config.format == data_format::fastq)
        return 0;
    if (is_alignment_format(config.format))
        return std::uint16_t(config.shards.max_shard);
    return std::nullopt;
}

// A failed run's port file says why, for the peers still to read it (see
// write_failed_port_file). Once per run.
void tell_port_file(const run_config& config, const run_status& status, bool& told) {
    if (told || config.port_file.empty())
        return;
    told = true;
    try {
        write_failed_port_file(config.port_file, status.reason());
    } catch (const std::exception&) {
        // What keeps it from being written was said at start, or is not this run's news.
    }
}

// A worker that failed before its loop (its output cannot be made): connects to each input side
// given with -c for a moment, only to tell it why, so that it does not wait for this worker.
void tell_input_sides(const run_config& config, group_table& groups, asio::io_context& io,
                      run_status& status) {
    if (config.connect_list.empty())
        return;
    io.restart();
    status.hold_lines(true); // a peer not there to be told is not news
    asio::steady_timer run_timer(
        io, std::chrono::seconds(std::min(config.timeout, int(telling_bound.count()) * 2)));
    session_config sessions{config.groupid, groups, config.peer_timeout, nullptr};
    sessions.deadline = run_timer.expiry();
    sessions.insecure = config.insecure;
    sessions.abort_reason = status.reason().empty() ? "the worker failed" : status.reason();
    try {
        if (!config.secret.empty())
            sessions.tls = std::make_shared<tls_settings>(config.secret);
        for (const std::string& address : config.connect_list)
            spawn_coroutine(io, [&, address](const asio::yield_context& yield) {
                connect_peer(address, sessions, run_timer, yield);
            });
        io.run_until(run_timer.expiry());
    } catch (const std::exception&) {
        // Telling is a courtesy: the run has failed and said why already.
    }
    io.stop();
    end_sessions(sessions);
    settle(io, status);
    status.hold_lines(false);
}

// After the loop has stopped for a failure: every peer still connected is sent the abort message
// with its reason, the loop running on for at most `bound` while those go out. Lines are held
// meanwhile: what the failure brings about is not news.
void tell_peers(asio::io_context& io, session_config& sessions, run_status& status,
                std::chrono::milliseconds bound) {
    status.hold_lines(true);
    start_telling(sessions, status.reason());
    // What is ready runs first: a connection waiting to be accepted starts its session, which
    // then sends the abort as soon as it knows its peer.
    io.restart();
    io.poll();
    const auto until = std::chrono::steady_clock::now() + bound;
    while (still_telling(sessions) && std::chrono::steady_clock::now() < until) {
        if (io.stopped()) // a line held meanwhile stops the loop too
            io.restart();
        if (io.run_one_until(until) == 0) // the bound has passed, or nothing is left to run
            break;
    }
    io.stop(); // as the failure left it: teardown relies on a stopped loop
    status.hold_lines(false);
}

// Spawns the run's coroutines and runs the loop until its work is done, it fails, or the
// deadline ends it. Returns the number of sessions that delivered everything.
std::size_t run_loop(const run_config& config, group_table& groups, asio::io_context& io,
                     run_status& status, output_channel* output, bool& port_file_told) {
    const bool input_side = config.side() == role::input;
    // The deadline counts from here, once start-up is done.
    // The steady clock: a step of the wall clock (NTP) moves no deadline.
    asio::steady_timer run_timer(io, std::chrono::seconds(config.timeout));
    session_config sessions{config.groupid, groups, config.peer_timeout, output};
    sessions.deadline = run_timer.expiry();
    // Security: the secret file's key for every connection; else a listener with a port file
    // makes a secret for the job and tells it there, beside the address, to those who may read
    // the file. --insecure keeps plain TCP.
    sessions.insecure = config.insecure;
    if (input_side)
        sessions.produced_last = last_produced_group(config);
    std::string port_file_secret;
    try {
        if (!config.secret.empty()) {
            sessions.tls = std::make_shared<tls_settings>(config.secret);
        } else if (!config.port_file.empty() && !config.insecure) {
            port_file_secret = make_job_secret();
            sessions.tls = std::make_shared<tls_settings>(port_file_secret);
        }
    } catch (const std::exception& e) {
        report_line(io, std::string("TLS: ") + e.what()); // OpenSSL refused; nothing has started
        return 0;
    }
    input_counters input;
    bool producer_done = false;
    const std::size_t expected =
        config.connect_list.empty() ? std::size_t(config.workers) : config.connect_list.size();
    // The run ends as soon as its work is done instead of at the deadline: cancelling the timer
    // stops the listener, and the loop then runs out of work.
    sessions.tally.changed = [&] {
        const session_tally& t = sessions.tally;
        if (input_side) {
            // A connector's peers cannot come back; a listener waits for others until the
            // deadline when data is left over, and counts only the workers it served: a peer
            // that left before taking anything is not one of the -w.
            if (!producer_done || expected == 0)
                return;
            if (config.connect_list.empty() ? t.served >= expected && groups.all_finished()
                                             : t.ended >= expected)
                run_timer.cancel();
        } else if (config.connect_list.empty() && t.succeeded > 0) {
            run_timer.cancel(); // a listening worker serves one input side
            for (const auto& drop : sessions.strays)
                drop();
            sessions.strays.clear();
        }
    };
    if (input_side)
        run_timer.async_wait(
            [&](const boost::system::error_code& ec) { unattended_check(groups, io, ec); });
    else if (config.connect_list.empty())
        run_timer.async_wait([&](const boost::system::error_code& ec) {
            if (!ec && sessions.tally.started == 0)
                report_failure(io, config.listen, "no input side connected before the deadline");
        });

    // spawn only queues each coroutine's first step: they start in this order once the loop
    // runs.
    for (const std::string& address : config.connect_list)
        spawn_coroutine(io, [&, address](const asio::yield_context& yield) {
            connect_peer(address, sessions, run_timer, yield);
        });
    if (!config.listen.empty())
        spawn_coroutine(io, [&](const asio::yield_context& yield) {
            accept_peers(config.listen, config.port_file, port_file_secret, sessions, run_timer,
                         yield);
        });
    if (input_side)
        spawn_coroutine(io, [&](const asio::yield_context& yield) {
            run_input(config, groups, input, io, yield);
            if (status.failed())
                return;
            groups.close_all();
            producer_done = true;
            sessions.tally.changed();
        });

    std::optional<progress_report> report;
    if (config.progress || config.summary)
        report.emplace(config.groupid, groups, input_side ? &input : nullptr, sessions.counters);
    if (config.progress) {
        run_with_progress(io, *report);
        report->finish();
    } else {
        io.run();
    }
    if (status.failed()) {
        // Peers still waiting learn why at once, through the port file or their connection.
        tell_port_file(config, status, port_file_told);
        tell_peers(io, sessions, status, telling_bound);
    }
    if (report)
        report->summary();
    end_sessions(sessions);
    settle(io, status);
    return sessions.tally.succeeded;
}

} // namespace

int run(const run_config& config) {
    timeval start;
    gettimeofday(&start, nullptr);
    // Before any thread starts, and kept to the end: a signal during teardown still counts.
    stop_signals interruptions;
    // Outlives the loop: coroutines still suspended when it goes may report as they unwind.
    run_status status(&interruptions);
    {
        const bool input_side = config.side() == role::input;
        // Declared before the loop: coroutines still suspended when the loop is destroyed give
        // their blocks back as their stacks unwind.
        buffer_pool pool;
        group_table groups(pool);
        asio::io_context io;
        status.attach(io);
        const stop_signals::attachment attached = interruptions.attach(io);
        const std::uint64_t pool_bytes = std::uint64_t(config.pool_size);
        // Every shard keeps a message open, mostly part-filled when there are many: on huge
        // pages each would hold 2 MiB or more whatever it held.
        const bool many_open_messages =
            input_side && is_alignment_format(config.format) && config.shards.max_shard >= 16;
        try {
            pool.create(pool_bytes, !many_open_messages);
        } catch (const std::bad_alloc&) {
            write_error_line("Cannot allocate a buffer pool of " + std::to_string(pool_bytes) +
                             " bytes");
            return -1;
        }
        groups.resize(config.max_groups > 0 ? std::size_t(config.max_groups) : 0);

        std::unique_ptr<output_target> output;
        std::unique_ptr<output_channel> channel;
        if (!input_side) {
            try {
                configure_hts(config);
                output = std::make_unique<output_target>(io, config.files, config.format);
                output->open();
                channel =
                    std::make_unique<output_channel>(output->pipe().descriptor, output->label());
                channel->why_closed = [&pipe = output->pipe()](const asio::yield_context& yield) {
                    return pipe.close_and_wait(yield);
                };
                // With one input side, its end of data is the output's: written, flushed and
                // named before the input side hears that it arrived.
                if (config.connect_list.size() <= 1)
                    channel->finish = [&target = *output](const asio::yield_context& yield) {
                        return target.finish_before_acknowledging(yield);
                    };
            } catch (const std::invalid_argument& e) {
                report_line(io, error_text(e));
            } catch (const std::exception& e) {
                report_failure(io, output ? output->label() : "standard output", error_text(e));
            }
        }
        // Declared after the loop, so that it goes first: its thread may still hold blocks.
        std::unique_ptr<spill_store> store;
        std::unique_ptr<spiller> spill;
        if (input_side && !config.spill_dir.empty() && !status.failed()) {
            try {
                const std::uint64_t cap = config.spill_max >= 0
                                              ? std::uint64_t(config.spill_max)
                                              : free_space(config.spill_dir) / 2;
                store = std::make_unique<spill_store>(io, config.spill_dir, cap);
                spill = std::make_unique<spiller>(groups, *store, io);
            } catch (const std::exception& e) {
                report_line(io, error_text(e));
            }
        }
        bool port_file_told = false;
        if (status.failed()) { // at start
            tell_port_file(config, status, port_file_told);
            if (!input_side)
                tell_input_sides(config, groups, io, status);
        }
        const std::size_t delivered =
            status.failed() ? 0
                            : run_loop(config, groups, io, status, channel.get(), port_file_told);
        spill.reset(); // nothing is read back or spilled once the loop has stopped
        if (store && (config.summary || config.progress) && store->bytes_written() > 0)
            report_spill(*store);

        // Data nobody took says more than the producer it left waiting for blocks.
        if (input_side && !status.failed())
            delivery_check(groups, io);
        // Work ran out while a coroutine still waited for blocks: nothing could ever free them,
        // and what it held or was about to read would be lost without a word.
        if (!status.failed() && !pool.waiters().empty())
            report_line(io, "buffer pool: exhausted with data still waiting for blocks; "
                            "raise --pool_size");
        if (output)
            output->finish(!status.failed() && delivered > 0);
        if (status.failed()) // failed after its loop: a peer that comes late learns why too
            tell_port_file(config, status, port_file_told);
        // Every wait ends while all that the waiters may touch still exists; only then go the
        // groups.
        while (groups.end_waits())
            settle(io, status);
        groups.clear();
    }
    status.detach();
    interruptions.finish(status);
    report_times(start);
    return status.failed() ? -1 : 0;
}

} // namespace shuffler
