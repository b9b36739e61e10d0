#include "buffers/wait_queue.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace shuffler {

void wait_queue::wait(boost::asio::yield_context yield) {
    // Always thrown, even for yield[ec]: a caller that went on after a cancelled wait would
    // use blocks or messages it never got.
    boost::system::error_code result;
    entries_.push_back(entry{yield.coro_.lock(), &yield.ca_, &result});
    yield.ca_(); // suspend; wake_one resumes us here
    if (result)
        throw boost::system::system_error(result);
}

void wait_queue::wake_one(boost::system::error_code code) {
    if (entries_.empty())
        return;
    entry woken = std::move(entries_.front());
    entries_.pop_front();
    *woken.result = code;
    (*woken.coroutine)();
}

void wait_queue::cancel_all() {
    while (!entries_.empty())
        wake_one(boost::asio::error::operation_aborted);
}

} // namespace shuffler
