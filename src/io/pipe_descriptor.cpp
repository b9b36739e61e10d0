#include "io/pipe_descriptor.hpp"

#include "core/report.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace shuffler {

namespace {

[[noreturn]] void throw_errno() {
    throw boost::system::system_error(
        boost::system::error_code(errno, boost::system::system_category()));
}

} // namespace

void pipe_descriptor::open_command(const std::string& command, const char* mode) {
    file = ::popen(command.c_str(), mode);
    if (!file)
        throw_errno();
    label = mode[0] == 'r' ? command + " |" : "| " + command;
    // A wider pipe lets the child and this process move 1 MiB per switch instead of 64 KiB.
    ::fcntl(::fileno(file), F_SETPIPE_SZ, 1 << 20);
    boost::system::error_code ec;
    descriptor.assign(::fileno(file), ec);
    if (ec)
        throw boost::system::system_error(ec, "assign");
}

void pipe_descriptor::open_stdio(int fd) {
    boost::system::error_code ec;
    descriptor.assign(fd, ec);
    if (!ec)
        return;
    if (ec.value() != EPERM || (fd != 0 && fd != 1))
        throw boost::system::system_error(ec);
    // epoll refuses regular files: let a `cat` child relay the redirected stream through a pipe.
    open_command("cat", fd == 0 ? "r" : "w");
}

void pipe_descriptor::close() {
    if (!file) {
        if (descriptor.is_open()) {
            boost::system::error_code ignored;
            descriptor.close(ignored);
        }
        return;
    }
    // Hand the descriptor back from the event loop first; pclose closes it.
    descriptor.release();
    const int status = ::pclose(file);
    file = nullptr;
    if (status != 0)
        report_line(context_of(descriptor.get_executor()),
                    description() + " terminated with status " + std::to_string(status));
}

std::string shell_quote(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_-./+,=:@%") == std::string::npos;
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace shuffler
