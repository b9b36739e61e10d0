#include "formats/text_file.hpp"

#include "io/record_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace shuffler {

void for_each_line(const std::string& path,
                   const std::function<void(std::string_view, std::uint32_t)>& take) {
    // Non-blocking, so that a FIFO with no writer is refused below instead of holding the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        throw record_error(path + ": " + std::strerror(errno));
    struct closer {
        int fd;
        ~closer() { ::close(fd); }
    } const close_at_end{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw record_error(path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw record_error(path + ": is a directory, not a file");
    // A FIFO or a device may never end (/dev/zero) or never start: only files are read.
    if (!S_ISREG(st.st_mode))
        throw record_error(path + ": is not a regular file");
    std::string text; // the bytes read and not yet taken; never more than a line and a read
    std::size_t from = 0;
    std::uint32_t number = 0;
    auto take_line = [&](std::size_t end) {
        std::string_view line(text.data() + from, end - from);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1); // written on another system
        take(line, ++number);
    };
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw record_error(path + ": " + std::strerror(errno));
        if (got == 0)
            break;
        text.erase(0, from);
        from = 0;
        text.append(buffer, std::size_t(got));
        for (std::size_t lf; (lf = text.find('\n', from)) != std::string::npos; from = lf + 1) {
            if (lf - from > longest_line)
                break;
            take_line(lf);
        }
        if (text.size() - from > longest_line)
            throw record_error(path + ": line " + std::to_string(number + 1) + ": longer than " +
                               std::to_string(longest_line) + " bytes");
    }
    if (from < text.size())
        take_line(text.size()); // the last line, without its line feed
}

bool next_field(std::string_view& rest, std::string_view& field) {
    if (rest.data() == nullptr)
        return false;
    const std::size_t tab = rest.find('\t');
    field = rest.substr(0, tab);
    rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
    return true;
}

} // namespace shuffler
