#include "buffers/block_chain.hpp"

#include "buffers/buffer_pool.hpp"

#include <algorithm>
#include <cstring>

namespace shuffler {

std::uint64_t block_chain::size() const {
    std::uint64_t n = 0;
    for (const block& b : blocks_)
        n += b.end - b.begin;
    return n;
}

std::uint64_t block_chain::capacity() const {
    std::uint64_t n = 0;
    for (const block& b : blocks_)
        n += b.capacity;
    return n;
}

void block_chain::acquire(std::uint64_t n, const boost::asio::yield_context& yield) {
    if (n == 0)
        return;
    block_list& free = pool_->free_list();
    std::uint64_t taken = 0;
    for (;;) {
        auto last = free.begin();
        for (; last != free.end(); ++last) {
            taken += last->capacity;
            if (taken >= n) {
                blocks_.splice(blocks_.end(), free, free.begin(), std::next(last));
                return;
            }
        }
        blocks_.splice(blocks_.end(), free);
        if (pool_->on_shortage)
            pool_->on_shortage();
        pool_->waiters().wait(yield); // a cancelled wait throws; the blocks taken stay here
    }
}

bool block_chain::try_acquire(std::uint64_t n) {
    block_list& free = pool_->free_list();
    std::uint64_t taken = 0;
    for (auto last = free.begin(); last != free.end(); ++last) {
        taken += last->capacity;
        if (taken >= n) {
            blocks_.splice(blocks_.end(), free, free.begin(), std::next(last));
            return true;
        }
    }
    return n == 0;
}

void block_chain::reserve(std::uint64_t n, const boost::asio::yield_context& yield) {
    const std::uint64_t c = capacity();
    if (n >= c)
        acquire(n - c, yield);
}

std::uint64_t block_chain::append(const char* first, const char* last,
                                     const boost::asio::yield_context& yield) {
    const std::uint64_t total = std::uint64_t(last - first);
    std::uint64_t remaining = total;
    if (remaining == 0)
        return 0;
    auto b = std::prev(blocks_.end());
    for (;;) {
        if (b->end == b->capacity) {
            // Continue in the first of the newly taken blocks.
            auto old_back = std::prev(blocks_.end());
            acquire(remaining, yield);
            b = std::next(old_back);
        }
        const std::uint64_t step = std::min(remaining, b->capacity - b->end);
        std::memcpy(b->data + b->end, first, step);
        b->end += step;
        first += step;
        remaining -= step;
        if (remaining == 0)
            return total;
        if (std::next(b) != blocks_.end())
            ++b;
    }
}

void block_chain::commit(std::uint64_t n) {
    for (auto b = blocks_.begin(); n > 0 && b != blocks_.end(); ++b) {
        const std::uint64_t step = std::min(n, b->capacity - b->end);
        b->end += step;
        n -= step;
    }
}

void block_chain::consume(std::uint64_t n) {
    for (auto b = blocks_.begin(); n > 0 && b != blocks_.end(); ++b) {
        const std::uint64_t step = std::min(n, b->end - b->begin);
        b->begin += step;
        n -= step;
    }
}

void block_chain::release() {
    for (block& b : blocks_)
        b.begin = b.end = b.records = 0;
    block_list& free = pool_->free_list();
    const bool returned = !blocks_.empty();
    free.splice(free.begin(), blocks_);
    if (returned && pool_->on_release)
        pool_->on_release();
    wait_queue& waiters = pool_->waiters();
    while (!free.empty() && !waiters.empty())
        waiters.wake_one(boost::system::error_code());
}

} // namespace shuffler
