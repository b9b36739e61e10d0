#pragma once

#include <boost/asio/spawn.hpp>
#include <boost/system/error_code.hpp>

#include <deque>
#include <memory>

namespace shuffler {

// First-in first-out queue of suspended coroutines. Wake-up is synchronous: the waker runs the
// woken coroutine until it suspends again or finishes, before its own call returns.
class wait_queue {
public:
    wait_queue() = default;
    wait_queue(const wait_queue&) = delete;
    wait_queue& operator=(const wait_queue&) = delete;

    // Suspends the calling coroutine until woken. A non-zero wake-up code is thrown as a
    // system_error; a yield context's error slot (yield[ec]) is not used. A `tag` lets wake()
    // find this waiter among the others.
    void wait(const boost::asio::yield_context& yield, const void* tag = nullptr);

    // Resumes the oldest waiter with `code`. Does nothing on an empty queue.
    void wake_one(boost::system::error_code code);

    // Resumes the waiter that waits with `tag`, wherever it is in the queue, with `code`.
    // Returns false when no waiter has that tag.
    bool wake(const void* tag, boost::system::error_code code);

    // Resumes the waiters queued when the call began, oldest first, with no error; those that
    // wait again stay queued.
    void wake_all();

    // Resumes every waiter, oldest first, with operation-aborted.
    void cancel_all();

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }

private:
    using callee_type = boost::asio::yield_context::callee_type;
    using caller_type = boost::asio::yield_context::caller_type;

    struct entry {
        std::shared_ptr<callee_type> coroutine; // keeps the coroutine alive while queued
        caller_type* caller;                    // where the coroutine returns when it suspends
        boost::system::error_code* result;      // filled in by the waker
        const void* tag;                        // identifies the waiter for wake(tag)
    };

    // Takes `woken` out of the queue and resumes it with `code`.
    void resume(std::deque<entry>::iterator woken, boost::system::error_code code);

    std::deque<entry> entries_;
};

} // namespace shuffler
