#include "app/output_driver.hpp"

#include "buffers/sg_buffer_list.hpp"
#include "core/report.hpp"
#include "io/pipe_descriptor.hpp"
#include "wire/message_header.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/write.hpp>

#include <exception>

namespace shuffler {

void run_output(const std::vector<std::string>& input_files, const std::string& given_format,
                group_table& groups, boost::asio::io_context& io,
                boost::asio::yield_context yield) {
    const std::string format = given_format.empty() ? "text" : given_format;
    // The formats differ only in name: every one writes the payloads as they came.
    if (format != "text" && format != "fastq" && format != "sam") {
        write_error_line("Unknown output format " + format);
        return;
    }

    pipe_descriptor target(io);
    try {
        if (input_files.empty())
            target.open_stdio(1);
        else
            target.open_command("cat > " + shell_quote(input_files[0]), "w");
    } catch (const std::exception&) {
        report_current_exception(io, input_files.empty() ? "stdout" : input_files[0]);
        return;
    }

    sg_buffer_list list(groups.pool());
    std::exception_ptr error;
    try {
        for (;;) {
            list.release();
            pop_message(groups[0], list, yield);
            list.consume(header_size);
            const std::size_t written =
                boost::asio::async_write(target.descriptor, list.const_buffers(),
                                          transfer_all_at_once{}, yield);
            list.consume(written);
        }
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    // A writer child that failed explains the broken pipe: its failure is the one line.
    report_pipe_error(io, target.description(), error, {&target}, false, yield);
}

} // namespace shuffler
