#pragma once

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace shuffler {

// A small file opened to be read: its descriptor, closed with it, and its status.
struct small_file {
    small_file() = default;
    small_file(const small_file&) = delete;
    small_file& operator=(const small_file&) = delete;
    ~small_file() {
        if (fd >= 0)
            ::close(fd);
    }
    int fd = -1;
    struct stat status {};
};

// What open_small_file found.
enum class open_result { opened, failed, not_regular };

// Opens `path` to read into `file`. Non-blocking, so that a FIFO planted at the path is refused
// as not_regular instead of holding the open; failed leaves errno set.
inline open_result open_small_file(const std::string& path, small_file& file) {
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file.fd < 0 || ::fstat(file.fd, &file.status) != 0)
        return open_result::failed;
    return S_ISREG(file.status.st_mode) ? open_result::opened : open_result::not_regular;
}

// Reads `fd` to its end, or until `text` holds more than `most` bytes (the caller tells a file
// too large for what it should be by its size). False on a read error, with errno set.
inline bool read_small_file(int fd, std::size_t most, std::string& text) {
    char buffer[4096];
    while (text.size() <= most) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        text.append(buffer, std::size_t(n));
    }
    return true;
}

} // namespace shuffler
