#pragma once

#include <boost/asio/io_context.hpp>

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace shuffler {

// Work a loop has handed to other threads (TLS's crypto threads), whose completion comes back as a
// handler posted to the loop. The loop cannot see such work: its poll() finds nothing ready while
// it is on its way. Teardown waits for it (wait_until_none), so that no completion arrives after
// the coroutine it would resume, or the loop itself, is gone.
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

} // namespace shuffler
