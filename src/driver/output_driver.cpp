#include "driver/output_driver.hpp"

#include "buffers/sg_buffer_list.hpp"
#include "driver/report.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "net/transfer.hpp"
#include "pipes/pipe_descriptor.hpp"

#include <boost/asio/write.hpp>

namespace shuffler {

void run_output(const std::vector<std::string>& input_files, const std::string& given_format,
                boost::asio::io_context& io, boost::asio::yield_context yield) {
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

    sg_buffer_list list;
    try {
        for (;;) {
            list.release();
            pop_message(the_group_table[0], list, yield);
            list.consume(header_size);
            const std::size_t written =
                boost::asio::async_write(target.descriptor, list.const_buffers(),
                                          transfer_all_at_once{}, yield);
            list.consume(written);
        }
    } catch (const std::exception&) {
        report_current_exception(io, target.description());
    }
}

} // namespace shuffler
