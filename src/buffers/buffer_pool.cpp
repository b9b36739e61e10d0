#include "buffers/buffer_pool.hpp"

#include <algorithm>

namespace shuffler {

buffer_pool::~buffer_pool() {
    free_.clear();
    for (const block& b : descriptors_)
        BOOST_ASSERT_MSG(!b.is_linked() && !b.qhook_.is_linked(), "block still in use at exit");
}

void buffer_pool::create(std::uint64_t bytes) {
    std::uint64_t blocks = (bytes + block::block_size - 1) / block::block_size;
    while (blocks > 0) {
        const std::uint64_t count = std::min(blocks, blocks_per_chunk);
        chunks_.emplace_back(new char[count * block::block_size]);
        char* chunk = chunks_.back().get();
        for (std::uint64_t i = 0; i < count; ++i) {
            block& b = descriptors_.emplace_back();
            b.data = chunk + i * block::block_size;
            b.capacity = block::block_size;
            free_.push_back(b);
        }
        blocks -= count;
    }
}

} // namespace shuffler
