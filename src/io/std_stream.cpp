#include "io/std_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shuffler {

void std_stream::wrap(int fd) {
    fd_ = fd;
    flags_ = ::fcntl(fd, F_GETFL);
    // A wider pipe means fewer switches between this process and the one at the other end.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
        ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

void std_stream::close(boost::asio::posix::stream_descriptor& descriptor) const {
    if (flags_ < 0) {
        boost::system::error_code ignored;
        descriptor.close(ignored);
        return;
    }
    // The event loop made the stream non-blocking; whoever shares it next expects it as it was.
    const int fd = descriptor.release();
    ::fcntl(fd, F_SETFL, flags_);
    ::close(fd);
}

} // namespace shuffler
