#include "app/input_driver.hpp"

#include "formats/fastq.hpp"
#include "formats/message_stream.hpp"
#include "formats/sam.hpp"

#include "io/file_pump.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>

#include <sched.h>

namespace shuffler {

void configure_hts(const run_config& config) {
    file_pump::hts_settings settings;
    settings.threads = config.threads;
    if (settings.threads == 0) {
        cpu_set_t cores;
        settings.threads =
            ::sched_getaffinity(0, sizeof cores, &cores) == 0 ? CPU_COUNT(&cores) : 1;
    }
    settings.level = config.compression_level;
    // CRAM decoding wants the FASTA itself; -O reference names its .fai (or a .dict, which
    // leaves the lookup to htslib).
    if (const auto reference = config.options.find("reference");
        reference != config.options.end() &&
        boost::algorithm::ends_with(reference->second, ".fai"))
        settings.reference = reference->second.substr(0, reference->second.size() - 4);
    file_pump::configure_hts(settings);
}

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
            else if (format == "message" && (parts.back() == "bam" || parts.back() == "cram"))
                format = parts.back(); // compressed already: a "*.bam.gz" stays a message stream
        }
    }
    return format;
}

void run_input(const run_config& config, group_table& groups, input_counters& counters,
               boost::asio::io_context& io, const boost::asio::yield_context& yield) {
    configure_hts(config);
    if (config.format == "fastq")
        return dice_fastq(config.files, config.fastq, groups, counters, io, yield);
    if (is_alignment_format(config.format))
        return shard_sam(config.files, config.shards, config.format != "sam", groups,
                         counters, io, yield);
    read_message_stream(config.files, config.format == "gzip", groups, counters, io,
                        yield);
}

} // namespace shuffler
