#include "io/file_stream.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace shuffler {

void file_stream::start(boost::asio::posix::stream_descriptor& descriptor, int file,
                        file_pump::job what, const std::string& name, byte_ring* ring) {
    // Only a regular file read goes into the ring: the thread never waits for the file to have
    // bytes, which it could not stop doing when the loop leaves.
    struct stat st;
    // htslib's decoder reads whatever the file is (a pipe too): its lines go only to a ring.
    if (ring && what != file_pump::job::write &&
        (what == file_pump::job::read_hts || (::fstat(file, &st) == 0 && S_ISREG(st.st_mode)))) {
        const int wakeup = ::fcntl(ring->wakeup_fd(), F_DUPFD_CLOEXEC, 3);
        boost::system::error_code ec;
        if (wakeup >= 0)
            descriptor.assign(wakeup, ec);
        if (wakeup < 0 || ec) {
            const int error = wakeup < 0 ? errno : ec.value();
            ::close(file);
            if (wakeup >= 0)
                ::close(wakeup);
            throw boost::system::system_error(
                boost::system::error_code(error, boost::system::system_category()));
        }
        pump_ = std::make_unique<file_pump>(file, what, name, *ring);
        ring_ = ring;
        return;
    }
    pump_ = std::make_unique<file_pump>(file, what, name);
    const int fd = pump_->take_loop_end();
    boost::system::error_code ec;
    descriptor.assign(fd, ec);
    if (ec) {
        ::close(fd); // cuts the thread off, so closing joins it
        throw boost::system::system_error(ec, "assign");
    }
}

int file_stream::start_relay(int fd, std::string prefix) {
    relay_ = std::make_unique<file_pump>(fd, "stdin", std::move(prefix));
    return relay_->take_loop_end();
}

void file_stream::close_ring() {
    if (ring_)
        std::exchange(ring_, nullptr)->close(); // a thread waiting for room stops
}

std::string file_stream::finish() {
    std::string problem = std::exchange(pump_, nullptr)->finish();
    // The decoder has closed the relay's pipe, which ends the relay.
    if (relay_ && problem.empty())
        problem = relay_->finish();
    relay_.reset();
    return problem;
}

bool needs_pump(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false; // the descriptor's own operations will say what is wrong
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !::isatty(fd));
}

} // namespace shuffler
