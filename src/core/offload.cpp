#include "core/offload.hpp"

namespace shuffler {

namespace {

// Holds a loop's count: an Asio service, so it lives exactly as long as the loop.
class offload_service : public boost::asio::execution_context::service {
public:
    static boost::asio::execution_context::id id;
    explicit offload_service(boost::asio::execution_context& owner) : service(owner) {}
    offload_count count;

private:
    void shutdown() override {}
};

boost::asio::execution_context::id offload_service::id;

} // namespace

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

offload_count& offloads_of(boost::asio::io_context& io) {
    return boost::asio::use_service<offload_service>(io).count;
}

} // namespace shuffler
