#pragma once

#include <cerrno>
#include <string>
#include <unistd.h>

namespace shuffler {

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
