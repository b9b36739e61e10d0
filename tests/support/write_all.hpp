#pragma once

// Without GoogleTest: shared by the test suite and the fuzz targets.

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace shuffler_test {

// Writes all of [data, data + size) unless the reader has gone (with SIGPIPE ignored, a broken
// pipe is an error that ends the writing).
inline void write_all(int fd, const void* data, std::size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        at += n;
        size -= std::size_t(n);
    }
}

} // namespace shuffler_test
