#pragma once

#include "buffers/block.hpp"

#include "core/coroutine.hpp"
#include <boost/intrusive/list.hpp>
#include <boost/iterator/transform_iterator.hpp>

#include <cstdint>

namespace shuffler {

class buffer_pool;

// A buffer sequence over a list's blocks, as Asio's gathered writes and scattered reads take it.
// Valid only while the list is not changed.
template <class Buffer, Buffer (block::*Region)() const>
class block_view {
    struct region_of {
        Buffer operator()(const block& b) const { return (b.*Region)(); }
    };

public:
    using value_type = Buffer;
    using const_iterator = boost::transform_iterator<region_of, block_list::const_iterator>;

    explicit block_view(const block_list& blocks) : blocks_(&blocks) {}
    const_iterator begin() const { return {blocks_->begin(), region_of{}}; }
    const_iterator end() const { return {blocks_->end(), region_of{}}; }

private:
    const block_list* blocks_;
};

using const_block_view = block_view<boost::asio::const_buffer, &block::pending>;
using mutable_block_view = block_view<boost::asio::mutable_buffer, &block::space>;

// An ordered chain of pool blocks holding a run of bytes (usually one message). Bytes are
// appended at the back and consumed from the front; moving a list only relinks blocks.
// Destroying a list returns its blocks to the pool they came from.
class block_chain {
public:
    explicit block_chain(buffer_pool& pool) : pool_(&pool) {}
    block_chain(block_chain&&) = default;
    block_chain(const block_chain&) = delete;
    block_chain& operator=(const block_chain&) = delete;
    ~block_chain() { release(); }

    std::uint64_t block_count() const { return blocks_.size(); }
    // Bytes filled and not yet consumed.
    std::uint64_t size() const;
    // Sum of the blocks' capacities, filled or not.
    std::uint64_t capacity() const;

    const_block_view const_buffers() const { return const_block_view(blocks_); }
    mutable_block_view mutable_buffers() const { return mutable_block_view(blocks_); }

    // Appends pool blocks whose capacities add up to at least n; waits while the pool is empty.
    // A cancelled wait throws operation-aborted, leaving the blocks taken so far in the list.
    void acquire(std::uint64_t n, const boost::asio::yield_context& yield);
    // Appends blocks for at least n bytes only if the pool has them free now; never waits.
    bool try_acquire(std::uint64_t n);
    // Makes the blocks' total capacity at least n.
    void reserve(std::uint64_t n, const boost::asio::yield_context& yield);
    // Free bytes after the filled ones, in the block holding the last filled byte and the empty
    // blocks after it.
    std::uint64_t room() const;
    // Copies [first, last) after the filled bytes, taking blocks as needed. Returns last - first.
    std::uint64_t append(const char* first, const char* last,
                         const boost::asio::yield_context& yield);
    // append() into the room the list has (at least last - first), never taking blocks: it
    // needs no loop, so another thread may fill a list the loop has handed it.
    std::uint64_t append_to_room(const char* first, const char* last);
    // Marks n bytes written into mutable_buffers() as filled.
    void commit(std::uint64_t n);
    // Marks n bytes at the front as consumed; the blocks stay in the list.
    void consume(std::uint64_t n);
    // Returns every block to the pool, then wakes pool waiters while blocks are free.
    void release();

    block_list& blocks() { return blocks_; }
    const block_list& blocks() const { return blocks_; }
    buffer_pool& pool() const { return *pool_; }

private:
    buffer_pool* pool_;
    block_list blocks_;
};

} // namespace shuffler
