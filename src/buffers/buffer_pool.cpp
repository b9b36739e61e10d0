#include "buffers/buffer_pool.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <sys/mman.h>

namespace shuffler {

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;

// Maps `size` bytes aligned to a huge page and asks for huge pages, which the kernel grants on
// request (the usual "madvise" setting): a block then spans two 2 MiB pages instead of a thousand
// small ones, so filling a fresh block costs two page faults instead of a thousand, and copies
// miss the TLB far less. The memory is still only committed as it is touched.
char* map_chunk(std::size_t size, bool huge_pages) {
    void* area = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        throw std::bad_alloc();
    char* const start = static_cast<char*>(area);
    char* const aligned = reinterpret_cast<char*>(
        (reinterpret_cast<std::uintptr_t>(start) + huge_page - 1) & ~(huge_page - 1));
    if (aligned > start)
        ::munmap(start, std::size_t(aligned - start));
    if (aligned < start + huge_page)
        ::munmap(aligned + size, std::size_t(start + huge_page - aligned));
    // Best effort both ways: a kernel set to "always" gives huge pages unless told not to.
    ::madvise(aligned, size, huge_pages ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    return aligned;
}

} // namespace

void buffer_pool::chunk_unmap::operator()(char* chunk) const { ::munmap(chunk, size); }

buffer_pool::~buffer_pool() {
    free_.clear();
    for (const block& b : descriptors_)
        BOOST_ASSERT_MSG(!b.is_linked() && !b.qhook_.is_linked(), "block still in use at exit");
}

void buffer_pool::create(std::uint64_t bytes, bool huge_pages) {
    std::uint64_t blocks = (bytes + block::block_size - 1) / block::block_size;
    while (blocks > 0) {
        const std::uint64_t count = std::min(blocks, blocks_per_chunk);
        const std::size_t size = count * block::block_size;
        chunks_.emplace_back(map_chunk(size, huge_pages), chunk_unmap{size});
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
