#include "core/offload.hpp"

#include "core/loop_state.hpp"

namespace shuffler {

void offload_count::started() {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
}

void offload_count::finished() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ == 0)
        none_.notify_all();
}

bool offload_count::wait_until_none() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (count_ == 0)
        return false;
    none_.wait(lock, [this] { return count_ == 0; });
    return true;
}

offload_count& offloads_of(boost::asio::io_context& io) { return loop_state<offload_count>(io); }

} // namespace shuffler
