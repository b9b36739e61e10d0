#include "net/port_file.hpp"

#include "core/private_file.hpp"
#include "core/small_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace shuffler {

std::string advertised_address(const boost::asio::ip::tcp::endpoint& local) {
    const std::string port = std::to_string(local.port());
    const boost::asio::ip::address address = local.address();
    if (address.is_unspecified()) {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0)
            throw std::system_error(errno, std::generic_category(), "gethostname");
        return std::string(name) + ":" + port;
    }
    if (address.is_v6())
        return "[" + address.to_string() + "]:" + port;
    return address.to_string() + ":" + port;
}

namespace {

// Writes `text` to PATH atomically, as write_port_file says.
void write_private_text(const std::string& path, const std::string& line) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // In a folder others can write, what is at PATH may have been put there by another user: a
    // link, a FIFO, or a file of their own. Only our own regular file is replaced.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            throw std::runtime_error("exists and is not a regular file; remove it or choose "
                                     "another port file");
        if (st.st_uid != ::geteuid())
            throw std::runtime_error("exists and belongs to " + describe_user(st.st_uid) +
                                     "; remove it or choose another port file");
    } else if (errno != ENOENT) {
        throw std::system_error(errno, std::generic_category(), "cannot check the port file");
    }
    // A new file under a random name, never one someone put there first; 0600 from its
    // creation, so the secret is never readable by others, even for a moment.
    std::string temporary;
    const int fd = create_private_file(dir + "." + base + ".tmp-", temporary);
    const auto fail = [&](const char* what) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), what);
    };
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            fail("cannot write the port file");
        }
        done += std::size_t(n);
    }
    if (::close(fd) != 0)
        fail("cannot write the port file");
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        fail("cannot rename the port file into place");
}

} // namespace

void write_port_file(const std::string& path, const std::string& address,
                     const std::string& secret) {
    write_private_text(path,
                       address + "\n" + (secret.empty() ? "" : "secret=" + secret + "\n"));
}

void write_failed_port_file(const std::string& path, const std::string& reason) {
    std::string line = reason.substr(0, 4096);
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    write_private_text(path, "failed=" + line + "\n");
}

std::optional<std::string> read_port_file(const std::string& path) {
    if (const auto found = read_rendezvous(path))
        return found->address;
    return std::nullopt;
}

std::optional<rendezvous> read_rendezvous(const std::string& path) {
    small_file file;
    const open_result opened = open_small_file(path, file);
    if (opened == open_result::failed && errno == ENOENT)
        return std::nullopt;
    if (opened == open_result::failed)
        throw std::runtime_error(std::string("cannot read the port file: ") + std::strerror(errno));
    if (opened == open_result::not_regular)
        throw std::runtime_error("not a regular file; not trusted as a port file");
    // The file decides where the job's data goes: only one that nobody but this user (or root)
    // could have written is believed.
    const struct stat& st = file.status;
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        throw std::runtime_error("belongs to " + describe_user(st.st_uid) +
                                 ", not to you; not trusted as a port file");
    if (st.st_mode & 022)
        throw std::runtime_error("group or others may change it; not trusted as a port file "
                                 "(chmod go-w " + path + ")");
    // A few short lines; a file much larger than that is not a port file.
    std::string text;
    if (!read_small_file(file.fd, 65536, text))
        throw std::runtime_error(std::string("cannot read the port file: ") +
                                 std::strerror(errno));
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        if (!lines.back().empty() && lines.back().back() == '\r')
            lines.back().pop_back();
        at = end + 1;
    }
    const std::string failed = "failed=";
    for (const std::string& line : lines)
        if (line.compare(0, failed.size(), failed) == 0)
            return rendezvous{"", "", line.size() > failed.size() ? line.substr(failed.size())
                                                                  : "no reason given"};
    if (lines.empty() || lines[0].empty())
        return std::nullopt;
    const std::string& line = lines[0];
    std::string host, port;
    if (!split_address(line, host, port) || host.empty() || port.empty())
        throw std::runtime_error("bad port file: its first line '" + line.substr(0, 200) +
                                 "' is not host:port");
    rendezvous found{line, "", ""};
    const std::string key = "secret=";
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i].compare(0, key.size(), key) == 0)
            found.secret = lines[i].substr(key.size());
    return found;
}

bool split_address(const std::string& address, std::string& host, std::string& port) {
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return true;
}

} // namespace shuffler
