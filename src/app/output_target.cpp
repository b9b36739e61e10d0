#include "app/output_target.hpp"

#include "core/private_file.hpp"
#include "core/report.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/magic.h>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace shuffler {

namespace {

// "a/b/" for "a/b/c", "" for "c".
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The file `path` names once its symbolic links are followed, even a link to a file not made
// yet. Followed as the kernel follows them: a link in a sticky folder everyone may write (such
// as /tmp) is not followed when another user than its folder's owner or the caller made it.
// Nothing for a link into /proc (/dev/stdout, /dev/fd/N): it names a descriptor already open,
// to be written where it is.
std::optional<std::string> resolve_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        const std::string folder = folder_of(path);
        struct statfs file_system;
        if (::statfs(folder.empty() ? "." : folder.c_str(), &file_system) == 0 &&
            file_system.f_type == PROC_SUPER_MAGIC)
            return std::nullopt;
        struct stat parent;
        if (st.st_uid != ::geteuid() &&
            ::stat(folder.empty() ? "." : folder.c_str(), &parent) == 0 &&
            (parent.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
            parent.st_uid != st.st_uid)
            throw std::runtime_error("a symbolic link of " + describe_user(st.st_uid) +
                                     " in a folder everyone may write; not followed");
        std::vector<char> text(std::size_t(st.st_size > 0 ? st.st_size : 4096) + 1);
        const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
        if (n < 0)
            throw std::system_error(errno, std::generic_category(), "readlink");
        const std::string link(text.data(), std::size_t(n));
        path = !link.empty() && link[0] == '/' ? link : folder + link;
    }
    throw std::system_error(ELOOP, std::generic_category());
}

// The process's umask, read without changing it (another thread may be creating files).
mode_t creation_mask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "Umask:") == 0)
            return mode_t(std::strtoul(line.c_str() + 6, nullptr, 8)) & 0777;
    return 022;
}

// fsync of a folder; false with errno set when it fails.
bool sync_folder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
                             data_format format)
    : io_(io), pipe_(io) {
    if (format != data_format::text && format != data_format::fastq &&
        format != data_format::sam && format != data_format::bam)
        throw std::invalid_argument(std::string("Unknown output format ") + format_name(format));
    job_ = format == data_format::bam ? file_pump::job::write_bam : file_pump::job::write;
    if (files.empty() || files[0] == "-") {
        label_ = "standard output";
        return;
    }
    if (!files[0].empty() && files[0][0] == '|') {
        const std::size_t from = files[0].find_first_not_of(" \t", 1);
        command_ = from == std::string::npos ? std::string() : files[0].substr(from);
        label_ = "pipe command '| " + command_ + "'";
        return;
    }
    file_ = files[0];
    label_ = file_;
}

output_target::~output_target() {
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        report_to(io_).keep_if_ended_at_once(temporary_);
    }
    if (mode_fd_ >= 0)
        ::close(mode_fd_);
}

void output_target::open() {
    if (!command_.empty()) {
        pipe_.open_output_command(command_, job_);
        return;
    }
    if (file_.empty()) {
        pipe_.open_stdio(1, nullptr, job_);
        return;
    }
    // Only a regular file, or a name not taken yet, is replaced by renaming: a device such as
    // /dev/null, a FIFO or /dev/stdout is written where it is. A symbolic link leads to the file
    // replaced, so a failed run leaves the link's target as it was.
    const std::optional<std::string> resolved = resolve_links(file_);
    struct stat st;
    if (!resolved || (::lstat(resolved->c_str(), &st) == 0 && !S_ISREG(st.st_mode))) {
        pipe_.open_file(file_, job_);
        return;
    }
    const std::string& target = *resolved;
    // A new private file in the target's folder (the same file system, so the rename is atomic),
    // never one another user put there first to read or redirect what the job writes.
    const std::size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const int fd = create_private_file(
        folder_of(target) + "." + base + ".part-" + std::to_string(::getpid()) + "-", temporary_);
    mode_fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (mode_fd_ < 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "cannot create " + temporary_);
    }
    report_to(io_).remove_if_ended_at_once(temporary_);
    final_ = target;
    pipe_.adopt_file(fd, job_, file_);
}

void output_target::finish(bool keep) {
    if (finished_)
        return;
    // Reports a child that failed. A stop asked for while the output's command finished leaves
    // the output unfinished.
    const bool closed = !pipe_.close() && report_to(io_).stop_signal() == 0;
    if (!keep || !closed)
        return;
    const std::string problem = settle();
    if (!problem.empty())
        report_failure(io_, file_, problem);
}

std::string output_target::finish_before_acknowledging(const boost::asio::yield_context& yield) {
    const std::string problem = pipe_.close_and_wait(yield, true);
    finished_ = true;
    if (!problem.empty())
        return problem;
    return settle();
}

std::string output_target::settle() {
    if (temporary_.empty())
        return "";
    // Private while it was written; now the mode any new file of the user would have.
    if (::fchmod(mode_fd_, 0666 & ~creation_mask()) != 0)
        return std::string("cannot set the finished output's mode: ") + std::strerror(errno);
    // On disk before it takes its name, and the name on disk before anyone is told it is done:
    // a crash afterwards must not leave FILE empty or missing.
    if (::fsync(mode_fd_) != 0)
        return std::string("cannot flush the finished output to disk: ") + std::strerror(errno);
    if (::rename(temporary_.c_str(), final_.c_str()) != 0)
        return std::string("cannot rename the finished output: ") + std::strerror(errno);
    report_to(io_).keep_if_ended_at_once(std::exchange(temporary_, {})); // it is the target now
    const std::string folder = folder_of(final_);
    if (!sync_folder(folder.empty() ? "." : folder))
        return std::string("cannot flush its folder to disk: ") + std::strerror(errno);
    return "";
}

} // namespace shuffler
