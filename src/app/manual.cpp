// Writes the manual page: the template with its @OPTIONS@ line replaced by the option table's
// entries. Run by the build: manual TEMPLATE OUTPUT.

#include "app/option_table.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TEMPLATE OUTPUT\n", argv[0]);
        return 1;
    }
    std::ifstream in(argv[1]);
    std::stringstream text;
    text << in.rdbuf();
    std::string page = text.str();
    const std::string mark = "@OPTIONS@\n";
    const std::size_t at = page.find(mark);
    if (!in || at == std::string::npos) {
        std::fprintf(stderr, "%s: cannot read, or no @OPTIONS@ line\n", argv[1]);
        return 1;
    }
    page.replace(at, mark.size(), shuffler::manual_options());
    std::ofstream out(argv[2]);
    out << page;
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", argv[2]);
        return 1;
    }
    return 0;
}
