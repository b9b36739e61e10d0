#include "app/input_driver.hpp"

#include "formats/fastq.hpp"
#include "formats/message_stream.hpp"
#include "formats/sam.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

namespace shuffler {

std::string detect_input_format(const std::vector<std::string>& input_files) {
    std::string format = "message";
    if (input_files.size() >= 2)
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

void run_input(const run_config& config, group_table& groups, input_counters& counters,
               boost::asio::io_context& io, const boost::asio::yield_context& yield) {
    if (config.format == "fastq")
        return dice_fastq(config.input_files, config.fastq, groups, counters, io, yield);
    if (config.format == "sam")
        return shard_sam(config.input_files, config.shards, groups, counters, io, yield);
    read_message_stream(config.input_files, config.format == "gzip", groups, counters, io,
                        yield);
}

} // namespace shuffler
