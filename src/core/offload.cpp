#include "core/offload.hpp"

#include "core/cores.hpp"
#include "core/loop_state.hpp"

#include <algorithm>
#include <atomic>

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

namespace {

std::atomic<bool> cores_to_spare{available_cores() >= 4};

} // namespace

bool worth_offloading(std::uint64_t bytes) {
    return cores_to_spare.load(std::memory_order_relaxed) && bytes >= (std::uint64_t(512) << 10);
}

void offload_parsing_always(bool always) {
    cores_to_spare = always || available_cores() >= 4;
}

unsigned helper_thread_count() { return std::clamp(available_cores() - 1, 1u, 8u); }

namespace {

// A loop's helper threads (see loop_state). The loop's teardown has waited for every job (see
// wait_until_none); joining when the loop shuts down only ends the threads, and the pool itself
// stays until every strand on it is gone with the loop's handlers.
struct helper_pool {
    boost::asio::thread_pool threads{helper_thread_count()};
    void shutdown() { threads.join(); }
};

} // namespace

boost::asio::thread_pool& helper_threads(boost::asio::io_context& io) {
    return loop_state<helper_pool>(io).threads;
}

namespace {

// The loop's parser thread, kept like the helper threads.
struct parser_pool {
    boost::asio::thread_pool threads{1};
    void shutdown() { threads.join(); }
};

} // namespace

boost::asio::thread_pool& parser_thread(boost::asio::io_context& io) {
    return loop_state<parser_pool>(io).threads;
}

} // namespace shuffler
