#include "buffers/buffer_pool.hpp"

namespace shuffler {

buffer_pool::~buffer_pool() {
    free_.clear();
    for (const block& b : descriptors_)
        BOOST_ASSERT_MSG(!b.is_linked() && !b.qhook_.is_linked(), "block still in use at exit");
}

void buffer_pool::create(std::uint64_t bytes) {
    const std::uint32_t chunk_count = std::uint32_t((bytes + chunk_size - 1) / chunk_size);
    for (std::uint32_t c = 0; c < chunk_count; ++c) {
        chunks_.emplace_back(new char[chunk_size]);
        char* chunk = chunks_.back().get();
        for (std::uint64_t i = 0; i < blocks_per_chunk; ++i) {
            block& b = descriptors_.emplace_back();
            b.data = chunk + i * block::block_size;
            b.capacity = block::block_size;
            free_.push_back(b);
        }
    }
}

} // namespace shuffler
