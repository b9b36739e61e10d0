#include "fuzz/fuzz_support.hpp"

#include "support/write_all.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace shuffler_fuzz {

void check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken promise: %s\n", file, line, condition);
    std::abort();
}

shuffler::buffer_pool& fuzz_pool() {
    static shuffler::buffer_pool pool;
    static const bool created = (pool.create(shuffler::buffer_pool::chunk_size), true); // 64 blocks
    (void)created;
    return pool;
}

byte_pipe::byte_pipe(const std::uint8_t* data, std::size_t size) {
    static const bool no_sigpipe = (std::signal(SIGPIPE, SIG_IGN), true); // a reader may stop early
    (void)no_sigpipe;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        check_failed("pipe2", __FILE__, __LINE__);
    reader_ = fds[0];
    const int capacity = ::fcntl(fds[1], F_GETPIPE_SZ);
    if (capacity > 0 && size <= std::size_t(capacity)) {
        shuffler_test::write_all(fds[1], data, size);
        ::close(fds[1]);
        return;
    }
    writer_ = std::thread([fd = fds[1], data, size] {
        shuffler_test::write_all(fd, data, size);
        ::close(fd);
    });
}

byte_pipe::~byte_pipe() {
    if (reader_ >= 0)
        ::close(reader_);
    if (writer_.joinable())
        writer_.join();
}

int byte_pipe::take_reader() {
    const int fd = reader_;
    reader_ = -1;
    return fd;
}

std::unique_ptr<shuffler::record_reader> open_reader(boost::asio::io_context& io, int fd,
                                                     const std::string& name) {
    auto reader = std::make_unique<shuffler::record_reader>();
    reader->pipe = std::make_unique<shuffler::endpoint>(io);
    reader->pipe->descriptor.assign(fd);
    reader->name = name;
    return reader;
}

std::string with_final_line_feed(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text;
}

} // namespace shuffler_fuzz
