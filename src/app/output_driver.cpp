#include "app/output_driver.hpp"

#include "buffers/sg_buffer_list.hpp"
#include "core/report.hpp"
#include "io/pipe_descriptor.hpp"
#include "wire/message_header.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

namespace shuffler {

void run_output(const std::vector<std::string>& input_files, const std::string& given_format,
                group_table& groups, boost::asio::io_context& io,
                boost::asio::yield_context yield) {
    // parse_command_line refused any other format before the loop; the formats differ only in
    // name: every one writes the payloads as they came.
    if (given_format != "text" && given_format != "fastq" && given_format != "sam") {
        report_failure(io, "--format", "unknown output format " + given_format);
        return;
    }

    const std::string subject = input_files.empty() ? "stdout" : input_files[0];
    pipe_descriptor target(io);
    try {
        if (input_files.empty())
            target.open_stdio(1);
        else
            target.open_command("cat > " + shell_quote(input_files[0]), "w");
    } catch (const std::exception&) {
        report_current_exception(io, subject);
        return;
    }

    sg_buffer_list list(groups.pool());
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
    } catch (const boost::system::system_error& e) {
        // Standard output's reader quitting (a `head`, a failed downstream tool) is the user's
        // business to know about, in words; a file's `cat` quitting has already said why.
        if (input_files.empty() && e.code() == boost::asio::error::broken_pipe)
            report_failure(io, subject, "standard output closed by its reader");
        else
            report_current_exception(io, subject);
    } catch (const std::exception&) {
        report_current_exception(io, subject);
    }
}

} // namespace shuffler
