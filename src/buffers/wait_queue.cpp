#include "buffers/wait_queue.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace shuffler {

void wait_queue::wait(boost::asio::yield_context yield) {
    boost::system::error_code local;
    boost::system::error_code* result = yield.ec_ ? yield.ec_ : &local;
    entries_.push_back(entry{yield.coro_.lock(), &yield.ca_, result});
    yield.ca_(); // suspend; wake_one resumes us here
    if (!yield.ec_ && local)
        throw boost::system::system_error(local);
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
