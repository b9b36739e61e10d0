#include "core/private_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace shuffler {

int create_private_file(const std::string& prefix, std::string& name) {
    static const char digits[] = "0123456789abcdef";
    // A few tries: a clash with 64 random bits is someone else's file that happens to be there.
    for (int attempt = 0;; ++attempt) {
        unsigned char bytes[8];
        if (::getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes))
            throw std::system_error(errno, std::generic_category(), "getrandom");
        name = prefix;
        for (const unsigned char b : bytes) {
            name += digits[b >> 4];
            name += digits[b & 15];
        }
        const int fd =
            ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST || attempt == 8)
            throw std::system_error(errno, std::generic_category(), "cannot create " + name);
    }
}

std::string describe_user(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry, *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return "user " + std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

} // namespace shuffler
