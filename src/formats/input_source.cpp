#include "formats/input_source.hpp"

#include "core/report.hpp"

#include <boost/algorithm/string/predicate.hpp>

namespace shuffler {

void open_input(record_reader& reader, const std::string& name, boost::asio::io_context& io,
                bool decode) {
    reader.pipe = std::make_unique<pipe_descriptor>(io);
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

void report_input_exception(boost::asio::io_context& io, const std::string& subject) {
    try {
        throw;
    } catch (const record_error& e) {
        report_line(io, e.what());
    } catch (const std::exception&) {
        report_current_exception(io, subject);
    }
}

} // namespace shuffler
