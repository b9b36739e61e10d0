#include "app/input_driver.hpp"

#include "core/report.hpp"
#include "formats/fastq.hpp"
#include "formats/message_stream.hpp"
#include "formats/sam.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

namespace shuffler {

std::string detect_input_format(const std::vector<std::string>& input_files) {
    std::string format = "message";
    if (input_files.size() >= 3) {
        write_error_line("Too many input files");
        return {};
    }
    if (input_files.size() == 2)
        return "fastq";
    if (input_files.size() == 1) {
        std::vector<std::string> parts;
        boost::algorithm::split(parts, input_files[0], boost::algorithm::is_any_of("."),
                                boost::algorithm::token_compress_on);
        if (parts.size() >= 2 && parts.back() == "gz") {
            parts.pop_back();
            format = "gzip";
        }
        if (parts.size() >= 2) {
            if (parts.back() == "fastq" || parts.back() == "fq")
                format = "fastq";
            else if (parts.back() == "sam")
                format = "sam";
        }
    }
    return format;
}

void run_input(const std::vector<std::string>& input_files, const std::string& given_format,
               const option_map& options, group_table& groups, boost::asio::io_context& io,
               boost::asio::yield_context yield) {
    const std::string format = given_format.empty() ? detect_input_format(input_files) : given_format;
    if (format.empty())
        return;
    if (format == "fastq")
        return dice_fastq(input_files, options, groups, io, yield);
    if (format == "sam")
        return shard_sam(input_files, options, groups, io, yield);
    if (format != "message" && format != "gzip") {
        write_error_line("Unknown input format " + format);
        return;
    }
    read_message_stream(input_files, format == "gzip", groups, io, yield);
}

} // namespace shuffler
