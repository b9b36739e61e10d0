#include "formats/input_source.hpp"

#include "core/report.hpp"

#include <boost/algorithm/string/predicate.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shuffler {

void open_input(record_reader& reader, const std::string& name, boost::asio::io_context& io,
                bool decode) {
    reader.pipe = std::make_unique<endpoint>(io);
    if (name.empty() || name == "-") {
        reader.pipe->open_stdio(0, &reader.buffer,
                                decode ? file_pump::job::read_hts : file_pump::job::read);
        reader.name = "stdin";
        return;
    }
    if (name.back() == '|' && decode)
        throw record_error(name + ": BAM or CRAM from a command is read on standard input: "
                                  "COMMAND | shuffler -f bam");
    if (name.back() == '|')
        reader.pipe->open_command(name.substr(0, name.size() - 1), "r");
    else
        reader.pipe->open_file(name,
                               decode ? file_pump::job::read_hts
                               : boost::algorithm::ends_with(name, ".gz")
                                   ? file_pump::job::read_gzip
                                   : file_pump::job::read,
                               &reader.buffer);
    reader.name = name;
}

void reopen_decoded(record_reader& old, record_reader& fresh, const std::string& name,
                    boost::asio::io_context& io) {
    fresh.pipe = std::make_unique<endpoint>(io);
    const bool standard_input = name.empty() || name == "-";
    struct stat st;
    if (!standard_input) {
        // Read again from its start; anything but a regular file could not be.
        if (name.back() == '|' || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            old.fail("input looks like BAM or CRAM; read it with -f bam or -f cram");
        old.pipe->close();
        open_input(fresh, name, io, true);
        return;
    }
    fresh.name = "stdin";
    if (old.pipe->fills(old.buffer)) {
        // A regular file read by a thread, which stops once closed: step back over what it
        // read and decode from there.
        old.pipe->close();
        const off_t read = off_t(old.buffer.unread().second);
        if (::lseek(0, -read, SEEK_CUR) < 0)
            old.fail(std::string("cannot read it again: ") + std::strerror(errno));
        fresh.pipe->open_stdio(0, &fresh.buffer, file_pump::job::read_hts);
        return;
    }
    // A pipe: what the loop has read goes to the decoder first, then the rest of the stream.
    const auto [start, size] = old.buffer.unread();
    std::string prefix(start, size);
    const int copy = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    if (copy < 0)
        old.fail(std::string("cannot read it again: ") + std::strerror(errno));
    old.pipe->close(); // gives the stream back its blocking mode
    fresh.pipe->open_decoded_after(copy, std::move(prefix), &fresh.buffer);
}

} // namespace shuffler
