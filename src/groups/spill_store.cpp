#include "groups/spill_store.hpp"

#include "wire/message_header.hpp"

#include <boost/asio/post.hpp>

#include <isa-l/crc.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace shuffler {

namespace asio = boost::asio;

struct spill_store::request {
    bool reading = false;
    spill_extent extent;
    std::optional<block_chain> list;
    std::string error;       // set by the thread
    std::uint32_t crc = 0;   // computed by the thread
    double seconds = 0;      // the thread's time on it
    write_done on_write;
    read_done on_read;
    // Keeps the loop running until the completion has run.
    asio::executor_work_guard<asio::io_context::executor_type> work;

    explicit request(asio::io_context& io) : work(asio::make_work_guard(io)) {}
};

namespace {

std::string system_text(int error) { return std::strerror(error); }

// The list's blocks as iovecs: the filled bytes to write, or the free room to read into, `bytes`
// of either at most (a read must not run on into the next message's bytes).
std::vector<iovec> regions(const block_chain& list, bool filled, std::uint64_t bytes) {
    std::vector<iovec> v;
    for (const block& b : list.blocks()) {
        if (bytes == 0)
            break;
        char* const from = b.data + (filled ? b.begin : b.end);
        const std::uint64_t size = std::min<std::uint64_t>(
            bytes, filled ? b.end - b.begin : b.capacity - b.end);
        if (size > 0)
            v.push_back({from, size});
        bytes -= size;
    }
    return v;
}

// The CRC-32C of `parts`, each a part of one block (far below the int ISA-L takes).
std::uint32_t crc_of(const std::vector<iovec>& parts) {
    std::uint32_t crc = 0;
    for (const iovec& part : parts)
        crc = crc32_iscsi(static_cast<unsigned char*>(part.iov_base), int(part.iov_len), crc);
    return crc;
}

// Moves `bytes` between the file at `offset` and `parts`, as far as the system calls go; the
// error text, or empty.
std::string transfer(int fd, bool reading, std::vector<iovec> parts, std::uint64_t offset,
                     std::uint64_t bytes) {
    std::size_t first = 0;
    while (bytes > 0) {
        const int count = int(std::min<std::size_t>(parts.size() - first, IOV_MAX));
        const ssize_t n = reading ? ::preadv(fd, parts.data() + first, count, off_t(offset))
                                  : ::pwritev(fd, parts.data() + first, count, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return system_text(errno);
        if (n == 0)
            return reading ? "spilled data missing: the file ends early" : "write made no progress";
        std::uint64_t done = std::uint64_t(n);
        offset += done;
        bytes -= std::min(bytes, done);
        while (done > 0 && first < parts.size()) {
            const std::uint64_t step = std::min<std::uint64_t>(done, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
            parts[first].iov_len -= step;
            done -= step;
            if (parts[first].iov_len == 0)
                ++first;
        }
    }
    return {};
}

} // namespace

std::uint64_t free_space(const std::string& dir) {
    struct statvfs s;
    if (::statvfs(dir.c_str(), &s) != 0)
        return 0;
    return std::uint64_t(s.f_bavail) * std::uint64_t(s.f_frsize);
}

spill_store::spill_store(asio::io_context& io, const std::string& dir, std::uint64_t cap)
    : io_(io), label_("spill file in " + dir), cap_(cap) {
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // File systems without unnamed files: a named one, unlinked before anything is in it.
        std::string name = dir + "/.shuffler-spill-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0)
            ::unlink(name.c_str());
    }
    if (fd_ < 0)
        throw std::runtime_error(dir + ": cannot create a spill file: " + system_text(errno));
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        ::close(fd_); // the destructor does not run for an object never made
        throw;
    }
}

spill_store::~spill_store() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    queue_.clear(); // this is the loop's thread: their blocks go back to the pool from here
    ::close(fd_);
}

spill_extent spill_store::write(block_chain list, write_done done) {
    auto r = std::make_shared<request>(io_);
    r->list.emplace(std::move(list));
    r->extent.offset = end_;
    r->extent.size = r->list->size();
    r->on_write = std::move(done);
    end_ += r->extent.size;
    used_ += r->extent.size;
    const spill_extent extent = r->extent;
    submit(std::move(r));
    return extent;
}

void spill_store::read(const spill_extent& extent, block_chain list, read_done done) {
    auto r = std::make_shared<request>(io_);
    r->list.emplace(std::move(list));
    r->reading = true;
    r->extent = extent;
    r->on_read = std::move(done);
    submit(std::move(r));
}

void spill_store::submit(std::shared_ptr<request> r) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(r));
    }
    wake_.notify_one();
}

// A file system without holes keeps the bytes: from then on the whole file counts against the
// cap, which then really bounds the disk space taken.
void spill_store::free_place(const spill_extent& e) {
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(e.offset),
                    off_t(e.size)) != 0)
        no_holes_ = true;
}

// The thread: one request at a time, in the order given, each completion posted to the loop.
void spill_store::run() {
    for (;;) {
        std::shared_ptr<request> r;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            r = std::move(queue_.front());
            queue_.pop_front();
        }
        const auto start = std::chrono::steady_clock::now();
        const spill_extent& e = r->extent;
        const std::vector<iovec> parts = regions(*r->list, !r->reading, e.size);
        if (r->reading) {
            r->error = transfer(fd_, true, parts, e.offset, e.size);
            if (r->error.empty())
                r->crc = crc_of(parts);
            free_place(e);
        } else {
            r->crc = crc_of(parts);
            r->error = transfer(fd_, false, parts, e.offset, e.size);
        }
        r->seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        asio::post(io_, [this, r = std::move(r)] {
            if (!r->reading) {
                if (r->error.empty()) {
                    written_ += r->extent.size;
                    write_seconds_ += r->seconds;
                }
                r->on_write(r->error, r->crc);
                r->list->release(); // after on_write: what it frees may go to reading back
                return;
            }
            used_ -= r->extent.size;
            if (r->error.empty()) {
                r->list->commit(r->extent.size);
                const block& first = r->list->blocks().front();
                const message_header h = load_header(first.data + first.begin);
                if (r->crc != r->extent.crc)
                    r->error = "checksum mismatch in the message spilled at byte " +
                               std::to_string(r->extent.offset);
                else if (!header_is_valid(h) || header_size + h.length != r->extent.size)
                    r->error = "bad message header in the message spilled at byte " +
                               std::to_string(r->extent.offset);
                else
                    read_ += r->extent.size;
                read_seconds_ += r->seconds;
            }
            r->on_read(r->error, *r->list);
        });
    }
}

} // namespace shuffler
