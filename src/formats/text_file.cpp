#include "formats/text_file.hpp"

#include "io/record_reader.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace shuffler {

void for_each_line(const std::string& path,
                   const std::function<void(std::string_view, std::uint32_t)>& take) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw record_error(path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw record_error(path + ": is a directory, not a file");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw record_error(path + ": " + std::strerror(errno));
    std::string line;
    std::uint32_t number = 0;
    while (std::getline(in, line)) {
        std::string_view text = line;
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1); // written on another system
        take(text, ++number);
    }
    if (in.bad())
        throw record_error(path + ": " + std::strerror(errno));
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
