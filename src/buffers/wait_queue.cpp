#include "buffers/wait_queue.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace shuffler {

void wait_queue::wait(const boost::asio::yield_context& yield, const void* tag) {
    // Always thrown, even for yield[ec]: a caller that went on after a cancelled wait would
    // use blocks or messages it never got.
    boost::system::error_code result;
    entries_.push_back(entry{yield.coro_.lock(), &yield.ca_, &result, tag});
    yield.ca_(); // suspend; wake_one resumes us here
    if (result)
        throw boost::system::system_error(result);
}

void wait_queue::resume(std::deque<entry>::iterator woken, boost::system::error_code code) {
    entry e = std::move(*woken);
    entries_.erase(woken);
    *e.result = code;
    (*e.coroutine)();
}

void wait_queue::wake_one(boost::system::error_code code) {
    if (!entries_.empty())
        resume(entries_.begin(), code);
}

bool wait_queue::wake(const void* tag, boost::system::error_code code) {
    for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (e->tag == tag) {
            resume(e, code);
            return true;
        }
    }
    return false;
}

void wait_queue::wake_all() {
    for (std::size_t n = entries_.size(); n > 0 && !entries_.empty(); --n)
        wake_one(boost::system::error_code());
}

void wait_queue::cancel_all() {
    while (!entries_.empty())
        wake_one(boost::asio::error::operation_aborted);
}

} // namespace shuffler
