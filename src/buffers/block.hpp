#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/intrusive/list.hpp>

#include <cstdint>

namespace shuffler {

// Safe-mode hooks: a descriptor destroyed while still linked is caught as a programming error.
using block_hook =
    boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::safe_link>>;
using queue_hook =
    boost::intrusive::list_member_hook<boost::intrusive::link_mode<boost::intrusive::safe_link>>;

// One fixed-size block of pool memory. Descriptors are owned by the pool and never move.
struct block : block_hook {
    static constexpr std::uint64_t block_size = std::uint64_t(1) << 22; // 4 MiB

    char* data = nullptr;       // first byte of the block's memory
    std::uint64_t capacity = 0; // block size (0 only for a group's end marker)
    std::uint64_t end = 0;      // one past the last filled byte
    std::uint64_t begin = 0;    // first filled byte not yet consumed
    std::uint64_t records = 0;  // a message's first block: records in the message (for reports)
    queue_hook qhook_;          // links a message's first block into a group's message queue

    // Filled bytes not yet consumed.
    boost::asio::const_buffer pending() const { return {data + begin, end - begin}; }
    // Free room after the filled bytes.
    boost::asio::mutable_buffer space() const { return {data + end, capacity - end}; }
};

using block_list = boost::intrusive::list<block, boost::intrusive::constant_time_size<true>,
                                          boost::intrusive::size_type<std::uint64_t>>;

} // namespace shuffler
