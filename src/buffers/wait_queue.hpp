#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include "core/coroutine.hpp"
#include <boost/system/error_code.hpp>

#include <list>

namespace shuffler {

// First-in first-out queue of suspended coroutines. A wake-up is posted to the woken coroutine's
// loop: it resumes after the waker's own step has suspended or ended, never inside the waker's
// call (which may be a destructor, or hold a container in the middle of a change).
class wait_queue {
public:
    wait_queue() = default;
    wait_queue(const wait_queue&) = delete;
    wait_queue& operator=(const wait_queue&) = delete;

    // Suspends the calling coroutine until woken. A non-zero wake-up code is thrown as a
    // system_error; a yield context's error slot (yield[ec]) is not used. A `tag` lets wake()
    // and front_tag() find this waiter among the others.
    void wait(const boost::asio::yield_context& yield, const void* tag = nullptr);

    // Wakes the oldest waiter with `code`. Does nothing on an empty queue.
    void wake_one(boost::system::error_code code);

    // Wakes the waiter that waits with `tag`, wherever it is in the queue, with `code`.
    // Returns false when no waiter has that tag.
    bool wake(const void* tag, boost::system::error_code code);

    // Wakes every waiter with no error; those that wait again queue anew.
    void wake_all();

    // Wakes every waiter, oldest first, with operation-aborted.
    void cancel_all();

    // The tag of the oldest waiter; the queue must not be empty.
    const void* front_tag() const { return entries_.front().tag; }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }

private:
    // A list: a waiter woken by its tag leaves from anywhere, and no other entry moves (Boost
    // 1.81's any_completion_handler recurses without end when move-assigned).
    struct entry {
        boost::asio::any_completion_handler<void(boost::system::error_code)> resume;
        boost::asio::any_io_executor loop; // the waiter's, where it resumes
        const void* tag;                   // identifies the waiter for wake(tag)
    };

    // Takes `woken` out of the queue and posts its resumption with `code`.
    void wake(std::list<entry>::iterator woken, boost::system::error_code code);

    std::list<entry> entries_;
};

} // namespace shuffler
