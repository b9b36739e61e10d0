#include "app/output_driver.hpp"

#include "core/interruption.hpp"
#include "core/report.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace shuffler {

namespace {

// ".NAME.part-PID" beside FILE: the same file system, so the rename is atomic.
std::string temporary_name(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : file.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    return dir + "." + base + ".part-" + std::to_string(::getpid());
}

// fsync of a file or folder; false with errno set when it fails.
bool sync_path(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

} // namespace

output_target::output_target(boost::asio::io_context& io, const std::vector<std::string>& files,
                             const std::string& format)
    : io_(io), pipe_(io) {
    if (format != "text" && format != "fastq" && format != "sam" && !format.empty())
        throw std::invalid_argument("Unknown output format " + format);
    if (files.empty()) {
        label_ = "standard output";
        return;
    }
    file_ = files[0];
    label_ = file_;
    // Only a regular file, or a name not taken yet, is replaced by renaming: a device such as
    // /dev/null, a FIFO or a symbolic link is written where it is, so renaming cannot swap it
    // for a plain file.
    struct stat st;
    if (::lstat(file_.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        temporary_ = temporary_name(file_);
}

output_target::~output_target() {
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        keep_if_ended_at_once(temporary_);
    }
}

void output_target::open() {
    if (!temporary_.empty())
        remove_if_ended_at_once(temporary_);
    if (file_.empty())
        pipe_.open_stdio(1);
    else
        pipe_.open_file(temporary_.empty() ? file_ : temporary_, file_pump::job::write);
}

void output_target::finish(bool keep) {
    if (finished_)
        return;
    // Reports a child that failed. A stop asked for while the output's command finished leaves
    // the output unfinished.
    const bool closed = !pipe_.close() && stop_signal() == 0;
    if (!keep || !closed)
        return;
    const std::string problem = settle();
    if (!problem.empty())
        report_failure(io_, file_, problem);
}

std::string output_target::finish_before_acknowledging(const boost::asio::yield_context& yield) {
    const std::string problem = pipe_.end_child(yield, true);
    finished_ = true;
    if (!problem.empty())
        return problem;
    return settle();
}

std::string output_target::settle() {
    if (temporary_.empty())
        return "";
    // On disk before it takes its name, and the name on disk before anyone is told it is done:
    // a crash afterwards must not leave FILE empty or missing.
    if (!sync_path(temporary_))
        return std::string("cannot flush the finished output to disk: ") + std::strerror(errno);
    if (::rename(temporary_.c_str(), file_.c_str()) != 0)
        return std::string("cannot rename the finished output: ") + std::strerror(errno);
    keep_if_ended_at_once(std::exchange(temporary_, {})); // it is FILE now
    const std::size_t slash = file_.rfind('/');
    if (!sync_path(slash == std::string::npos ? "." : slash == 0 ? "/" : file_.substr(0, slash)))
        return std::string("cannot flush its folder to disk: ") + std::strerror(errno);
    return "";
}

} // namespace shuffler
