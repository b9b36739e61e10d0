#include "app/input_driver.hpp"

#include "core/cores.hpp"

#include "formats/fastq.hpp"
#include "formats/message_stream.hpp"
#include "formats/sam.hpp"

#include "io/file_pump.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>


namespace shuffler {

void configure_hts(const run_config& config) {
    file_pump::hts_settings settings;
    settings.threads = config.threads != 0 ? config.threads : int(available_cores());
    settings.level = config.compression_level;
    // CRAM decoding wants the FASTA itself; -O reference names its .fai (or a .dict, which
    // leaves the lookup to htslib).
    if (const auto reference = config.options.find("reference");
        reference != config.options.end() &&
        boost::algorithm::ends_with(reference->second, ".fai"))
        settings.reference = reference->second.substr(0, reference->second.size() - 4);
    file_pump::configure_hts(settings);
}

data_format detect_input_format(const std::vector<std::string>& input_files) {
    data_format format = data_format::message;
    if (input_files.size() >= 2)
        return data_format::fastq;
    if (input_files.size() == 1) {
        std::vector<std::string> parts;
        boost::algorithm::split(parts, input_files[0], boost::algorithm::is_any_of("."),
                                boost::algorithm::token_compress_on);
        if (parts.size() >= 2 && parts.back() == "gz") {
            parts.pop_back();
            format = data_format::gzip;
        }
        if (parts.size() >= 2) {
            if (parts.back() == "fastq" || parts.back() == "fq")
                format = data_format::fastq;
            else if (parts.back() == "sam")
                format = data_format::sam;
            // Compressed already: a "*.bam.gz" stays a message stream.
            else if (format == data_format::message && parts.back() == "bam")
                format = data_format::bam;
            else if (format == data_format::message && parts.back() == "cram")
                format = data_format::cram;
        }
    }
    return format;
}

void run_input(const run_config& config, group_table& groups, input_counters& counters,
               boost::asio::io_context& io, const boost::asio::yield_context& yield) {
    configure_hts(config);
    if (config.format == data_format::fastq)
        return dice_fastq(config.files, config.fastq, groups, counters, io, yield);
    if (is_alignment_format(config.format))
        return shard_sam(config.files, config.shards, config.format != data_format::sam, groups,
                         counters, io, yield);
    read_message_stream(config.files, config.format == data_format::gzip, groups, counters, io,
                        yield);
}

} // namespace shuffler
