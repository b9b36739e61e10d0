#include "buffers/block_chain.hpp"

#include "buffers/buffer_pool.hpp"

#include <boost/assert.hpp>

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

namespace {

// What a coroutine waiting for blocks still lacks; its tag in the pool's wait queue.
struct pool_request {
    block_chain& into;
    std::uint64_t missing; // bytes
};

// Gives the free blocks to the waiters, oldest first, each until it has all it asked for. A
// waiter owns its blocks before it resumes, so no request made in between can take them.
void hand_out(buffer_pool& pool) {
    wait_queue& waiters = pool.waiters();
    block_list& free = pool.free_list();
    while (!free.empty() && !waiters.empty()) {
        // The tag is the waiter's own request, on its stack until it resumes.
        auto& request = *static_cast<pool_request*>(const_cast<void*>(waiters.front_tag()));
        while (!free.empty() && request.missing > 0) {
            request.missing -= std::min(request.missing, free.front().capacity);
            request.into.blocks().splice(request.into.blocks().end(), free, free.begin());
        }
        if (request.missing == 0)
            waiters.wake_one(boost::system::error_code());
    }
}

} // namespace

void block_chain::acquire(std::uint64_t n, const boost::asio::yield_context& yield) {
    if (n == 0)
        return;
    block_list& free = pool_->free_list();
    std::uint64_t taken = 0;
    while (!free.empty() && taken < n) {
        taken += free.front().capacity;
        blocks_.splice(blocks_.end(), free, free.begin());
    }
    if (taken >= n)
        return;
    if (pool_->on_shortage)
        pool_->on_shortage();
    // Releases hand the rest in; a cancelled wait throws, and the blocks taken stay here.
    pool_request request{*this, n - taken};
    pool_->waiters().wait(yield, &request);
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

std::uint64_t block_chain::room() const {
    std::uint64_t n = 0;
    for (auto b = blocks_.rbegin(); b != blocks_.rend(); ++b) {
        n += b->capacity - b->end;
        if (b->end > 0)
            break;
    }
    return n;
}

std::uint64_t block_chain::append(const char* first, const char* last,
                                  const boost::asio::yield_context& yield) {
    const std::uint64_t n = std::uint64_t(last - first);
    if (n == 0)
        return 0;
    if (const std::uint64_t free = room(); free < n)
        acquire(n - free, yield);
    return append_to_room(first, last);
}

std::uint64_t block_chain::append_to_room(const char* first, const char* last) {
    const std::uint64_t total = std::uint64_t(last - first);
    std::uint64_t remaining = total;
    if (remaining == 0)
        return 0;
    // The filled bytes end in the last block holding any (or nothing is filled yet).
    auto b = blocks_.end();
    do
        --b;
    while (b != blocks_.begin() && b->end == 0);
    for (;; ++b) {
        BOOST_ASSERT_MSG(b != blocks_.end(), "append_to_room past the list's room");
        const std::uint64_t step = std::min(remaining, b->capacity - b->end);
        std::memcpy(b->data + b->end, first, step);
        b->end += step;
        first += step;
        remaining -= step;
        if (remaining == 0)
            return total;
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
    hand_out(*pool_);
}

} // namespace shuffler
