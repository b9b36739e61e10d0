#include "io/byte_ring.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

namespace shuffler {

namespace {

[[noreturn]] void throw_errno(const char* what) {
    throw boost::system::system_error(
        boost::system::error_code(errno, boost::system::system_category()), what);
}

} // namespace

byte_ring::byte_ring(std::uint64_t size) : size_(size) {
    const int file = ::memfd_create("shuffler-input", MFD_CLOEXEC);
    if (file < 0)
        throw_errno("memfd_create");
    // Reserve both halves at once, then put the same pages into each.
    void* area = MAP_FAILED;
    if (::ftruncate(file, off_t(size)) == 0)
        area = ::mmap(nullptr, 2 * size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    char* base = static_cast<char*>(area);
    const bool mapped =
        area != MAP_FAILED &&
        ::mmap(base, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, file, 0) != MAP_FAILED &&
        ::mmap(base + size, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, file, 0) !=
            MAP_FAILED;
    const int error = errno;
    ::close(file); // the mappings keep the pages
    if (!mapped) {
        if (area != MAP_FAILED)
            ::munmap(area, 2 * size);
        errno = error;
        throw_errno("mmap");
    }
    memory_ = base;
    wakeup_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeup_fd_ < 0) {
        ::munmap(memory_, 2 * size_);
        throw_errno("eventfd");
    }
}

byte_ring::~byte_ring() {
    ::munmap(memory_, 2 * size_);
    ::close(wakeup_fd_);
}

std::pair<char*, std::uint64_t> byte_ring::wait_for_room(std::uint64_t least) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Less room will do when the consumer waits: it may need the last bytes of a record to give
    // any back.
    room_freed_.wait(lock, [&] {
        const std::uint64_t space = size_ - (tail_ - head_);
        return closed_ || space >= least || (space > 0 && consumer_waits_);
    });
    if (closed_)
        return {nullptr, 0};
    return {memory_ + tail_ % size_, size_ - (tail_ - head_)};
}

std::pair<char*, std::uint64_t> byte_ring::room() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {memory_ + tail_ % size_, size_ - (tail_ - head_)};
}

void byte_ring::commit(std::uint64_t n) {
    bool wake;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        tail_ += n;
        wake = std::exchange(consumer_waits_, false);
    }
    if (wake)
        ::eventfd_write(wakeup_fd_, 1);
}

void byte_ring::finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        consumer_waits_ = false;
    }
    ::eventfd_write(wakeup_fd_, 1);
}

std::pair<char*, std::uint64_t> byte_ring::unread() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {memory_ + head_ % size_, tail_ - head_};
}

void byte_ring::release(std::uint64_t n) {
    if (n == 0)
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        head_ += n;
    }
    room_freed_.notify_one();
}

void byte_ring::wait_for_more(std::uint64_t have, boost::asio::posix::stream_descriptor& wakeup,
                              const boost::asio::yield_context& yield) {
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (tail_ - head_ > have || finished_)
                return;
            consumer_waits_ = true;
        }
        room_freed_.notify_one();
        wakeup.async_wait(boost::asio::posix::stream_descriptor::wait_read, yield);
        eventfd_t count;
        ::eventfd_read(wakeup_fd_, &count); // resets it; nothing to read is fine too
    }
}

void byte_ring::close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    room_freed_.notify_all();
}

} // namespace shuffler
