#pragma once

#include "buffers/block.hpp"
#include "buffers/wait_queue.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

namespace shuffler {

// The pool of 4 MiB blocks, allocated once in chunks of at most 256 MiB. The blocks released
// last are handed out first, so a run touches only the pages it keeps busy (a fresh page costs a
// fault and a clearing) and reuses what is still in the cache; a request that finds too few waits
// in `waiters`, and blocks given back go to the oldest waiting request first.
class buffer_pool {
public:
    static constexpr std::uint64_t chunk_size = std::uint64_t(1) << 28; // 256 MiB
    static constexpr std::uint64_t blocks_per_chunk = chunk_size / block::block_size;

    buffer_pool() = default;
    buffer_pool(const buffer_pool&) = delete;
    buffer_pool& operator=(const buffer_pool&) = delete;
    ~buffer_pool();

    // Rounds `bytes` up to whole blocks and fills the free list in address order. With
    // `huge_pages`, the blocks lie on 2 MiB pages where the kernel grants them: fewer faults and
    // TLB misses for blocks that fill, but the first byte written costs a whole 2 MiB page, so
    // many part-filled blocks at once (many shards) hold far more memory than bytes.
    void create(std::uint64_t bytes, bool huge_pages = true);

    // Bytes the pool holds in all; no single request can ever be given more.
    std::uint64_t total_capacity() const { return descriptors_.size() * block::block_size; }
    std::uint64_t free_blocks() const { return free_.size(); }

    wait_queue& waiters() { return waiters_; }
    block_list& free_list() { return free_; }

    // Called when a request is about to wait for blocks: a chance to free some, by spilling
    // queued messages to disk. Must not suspend or wake anyone.
    std::function<void()> on_shortage;
    // Called when blocks come back, before they are handed to the waiters, so that reading
    // spilled messages back (which the consumers wait for) goes before the producer.
    std::function<void()> on_release;

private:
    wait_queue waiters_;
    std::deque<block> descriptors_;
    struct chunk_unmap {
        std::size_t size;
        void operator()(char* chunk) const;
    };
    std::deque<std::unique_ptr<char, chunk_unmap>> chunks_;
    block_list free_;
};

} // namespace shuffler
