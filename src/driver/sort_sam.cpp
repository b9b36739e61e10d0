#include "driver/input_driver.hpp"

#include "buffers/buffer_pool.hpp"
#include "driver/report.hpp"
#include "groups/group_table.hpp"
#include "net/message_header.hpp"
#include "pipes/pipe_stream.hpp"

#include <boost/system/system_error.hpp>

#include <cstdlib>
#include <vector>

namespace shuffler {

namespace {

constexpr std::int32_t largest_shard = 65535; // shard numbers travel as 16-bit groups

bool is_shard_key(const std::string& key) {
    return key.size() >= 2 && key[0] == 's' && key[1] >= '0' && key[1] <= '9';
}

} // namespace

void sort_sam(const std::vector<std::string>&, option_map options, boost::asio::io_context& io,
              boost::asio::yield_context yield) {
    shard_map shards;
    std::int32_t max_shard = 0;
    for (const auto& [key, value] : options) {
        if (!is_shard_key(key))
            continue;
        const long number = std::strtol(key.c_str() + 1, nullptr, 10);
        if (number < 1 || std::size_t(number) >= the_group_table.size() || number > largest_shard) {
            write_error_line("Invalid shard id " + std::to_string(number));
            return;
        }
        const std::int32_t shard = std::int32_t(number);
        max_shard = std::max(max_shard, shard);
        std::vector<char> text(value.begin(), value.end());
        text.push_back('\0');
        if (!parse_interval_list(text.data(), shards)) {
            write_error_line("Invalid shard " + value);
            return;
        }
        stamp_shard(shards, std::uint32_t(shard));
    }
    if (max_shard == 0) {
        write_error_line("Missing shard options");
        return;
    }

    // Every shard holds an open block from the start; at least one more must circulate.
    const std::uint64_t pool_blocks = the_buffer_pool.total_capacity() / sg_buffer::block_size;
    if (std::uint64_t(max_shard) + 1 >= pool_blocks) {
        report_failure(io, "sort_sam",
                       std::to_string(max_shard + 1) + " shards need more blocks than the pool's " +
                           std::to_string(pool_blocks) + "; raise --pool_size");
        return;
    }

    // SAM text always comes from standard input; the file names are not read.
    std::vector<sg_buffer_list> lists(std::size_t(max_shard) + 1);
    pipe_stream stream;
    try {
        for (std::int32_t k = 0; k <= max_shard; ++k)
            open_message(lists[k], std::uint16_t(k), yield);
        stream.pipe = std::make_unique<pipe_descriptor>(io);
        stream.pipe->open_stdio(0);
        stream.name = "stdin";
        try {
            stream.read_sam(shards, lists, the_group_table, yield);
        } catch (const boost::system::system_error& e) {
            if (e.code().value() != end_of_file_value)
                throw;
        }
        for (std::int32_t k = 0; k <= max_shard; ++k) {
            close_message(lists[k]);
            push_message(the_group_table[k], lists[k]);
        }
    } catch (const std::exception&) {
        report_current_exception(io, "sort_sam");
    }
}

} // namespace shuffler
