#include "buffers/wait_queue.hpp"

#include <boost/asio/append.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <utility>

namespace shuffler {

void wait_queue::wait(const boost::asio::yield_context& yield, const void* tag) {
    // Always thrown, even for yield[ec]: a caller that went on after a cancelled wait would
    // use blocks or messages it never got.
    boost::system::error_code result;
    boost::asio::async_initiate<const boost::asio::yield_context&,
                                void(boost::system::error_code)>(
        [this, tag, loop = yield.get_executor()](auto resume) {
            entries_.push_back(entry{std::move(resume), loop, tag});
        },
        yield[result]);
    if (result)
        throw boost::system::system_error(result);
}

void wait_queue::wake(std::list<entry>::iterator woken, boost::system::error_code code) {
    auto resume = std::move(woken->resume);
    const boost::asio::any_io_executor loop = woken->loop;
    entries_.erase(woken);
    // Runs on the waiter's loop once the waker's step is over.
    boost::asio::post(loop, boost::asio::append(std::move(resume), code));
}

void wait_queue::wake_one(boost::system::error_code code) {
    if (!entries_.empty())
        wake(entries_.begin(), code);
}

bool wait_queue::wake(const void* tag, boost::system::error_code code) {
    for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (e->tag == tag) {
            wake(e, code);
            return true;
        }
    }
    return false;
}

void wait_queue::wake_all() {
    while (!entries_.empty())
        wake_one(boost::system::error_code());
}

void wait_queue::cancel_all() {
    while (!entries_.empty())
        wake_one(boost::asio::error::operation_aborted);
}

} // namespace shuffler
