#pragma once

#include "core/coroutine.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/thread_pool.hpp>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

namespace shuffler {

// Work a loop has handed to other threads (its helper threads and parser thread, below), whose
// completion comes back as a handler posted to the loop. The loop cannot see such work: its poll()
// finds nothing ready while it is on its way. Teardown waits for it (wait_until_none), so that no
// completion arrives after the coroutine it would resume, or the loop itself, is gone.
class offload_count {
public:
    void started();  // on the loop, before the work is handed over
    void finished(); // on the other thread, once the completion is posted to the loop
    // Waits until nothing is offloaded; true when something was (its completion now waits on the
    // loop, ready to run).
    bool wait_until_none();

private:
    std::mutex mutex_;
    std::condition_variable none_;
    std::size_t count_ = 0;
};

// The count of the loop `io`.
offload_count& offloads_of(boost::asio::io_context& io);

// How many helper threads a loop has: one fewer than the cores this process may run on (the loop
// has one), at least one and at most eight.
unsigned helper_thread_count();

// The threads that encrypt and decrypt for the TLS connections of the loop `io`:
// helper_thread_count() of them, started at the first use and joined when the loop goes.
boost::asio::thread_pool& helper_threads(boost::asio::io_context& io);

// The thread that parses input off the loop `io` (run_off_loop), apart from the helper threads, so
// that parsing never holds up an encryption the loop waits for, nor the other way round.
boost::asio::thread_pool& parser_thread(boost::asio::io_context& io);

// Whether parsing `bytes` of input at hand is worth handing to the parser thread: only with four
// cores or more, since the loop and the file threads fill two or three cores (measured on two,
// parsing off the loop made no job faster and a TLS job 14% slower), and not for a little input
// (a pipe gives 64 KiB at a time), where handing it over and back costs more than the parsing.
bool worth_offloading(std::uint64_t bytes);

// Overrides the count of cores for worth_offloading(): tests use the parser thread on any machine.
void offload_parsing_always(bool always);

// Runs `job()` on the parser thread of `io` while the coroutine of `yield` waits, so the loop goes
// on with everything else meanwhile; counted as offloaded work until the coroutine can resume. The
// job must not throw, and touches nothing the loop touches until it is done (see parse_input).
template <class Job>
void run_off_loop(boost::asio::io_context& io, Job& job, const boost::asio::yield_context& yield) {
    offload_count& offloads = offloads_of(io);
    offloads.started();
    boost::asio::async_initiate<const boost::asio::yield_context&, void()>(
        [&io, &job, &offloads](auto resume) {
            // The loop has work until the coroutine resumes: its run() must not return meanwhile.
            auto work = boost::asio::make_work_guard(io);
            boost::asio::post(parser_thread(io), [&io, &job, &offloads, work = std::move(work),
                                                   resume = std::move(resume)]() mutable {
                job();
                auto loop = boost::asio::get_associated_executor(resume, io.get_executor());
                boost::asio::post(loop, std::move(resume));
                work.reset();
                offloads.finished();
            });
        },
        yield);
}

// Runs `job()`, which parses `bytes` of input at hand: on the parser thread when that is worth it
// (worth_offloading), on the loop otherwise. Returns what it threw, for the caller to throw once
// it has taken what the job did before.
template <class Job>
std::exception_ptr parse_input(boost::asio::io_context& io, std::uint64_t bytes, Job& job,
                               const boost::asio::yield_context& yield) {
    std::exception_ptr error;
    auto guarded = [&job, &error]() noexcept {
        try {
            job();
        } catch (...) {
            error = std::current_exception();
        }
    };
    if (worth_offloading(bytes))
        run_off_loop(io, guarded, yield);
    else
        guarded();
    return error;
}

} // namespace shuffler
