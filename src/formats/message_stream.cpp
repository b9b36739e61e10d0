#include "formats/message_stream.hpp"

#include "core/report.hpp"
#include "wire/message_header.hpp"
#include "wire/read_message.hpp"

#include <exception>
#include <stdexcept>

namespace shuffler {

namespace asio = boost::asio;

void route_messages(endpoint& pipe, const std::string& subject, group_table& groups,
                    input_counters& counters, const asio::yield_context& yield) {
    asio::io_context& io = context_of(pipe.descriptor.get_executor());
    block_chain list(groups.pool());
    std::exception_ptr error;
    try {
        for (;;) {
            list.release();
            read_message(pipe.descriptor, list, yield);
            const block& first = list.blocks().front();
            const message_header h = load_header(first.data + first.begin);
            if (h.group >= groups.size())
                throw std::runtime_error("Group id exceeds maximum: a message for group " +
                                         std::to_string(h.group) + " with --max_groups " +
                                         std::to_string(groups.size()));
            list.blocks().front().records = 1;
            ++counters.records;
            counters.bytes += list.size();
            push_message(groups[h.group], list);
            groups.wait_for_room(producer_lead_blocks, producer_patience, yield);
        }
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    // Even the normal end needs the child's word: end of file alone proves nothing.
    report_pipe_error(io, subject, error, {&pipe}, true, yield);
}

void read_message_stream(const std::vector<std::string>& input_files, bool gzip,
                         group_table& groups, input_counters& counters, asio::io_context& io,
                         const asio::yield_context& yield) {
    const std::string subject = input_files.empty() ? "stdin" : input_files[0];
    endpoint pipe(io);
    try {
        if (gzip) // without a file, standard input is decompressed
            pipe.open_file(input_files.empty() ? "" : input_files[0], file_pump::job::read_gzip);
        else if (!input_files.empty())
            pipe.open_file(input_files[0], file_pump::job::read);
        else
            pipe.open_stdio(0);
    } catch (const std::exception&) {
        report_current_exception(io, subject);
        return;
    }
    route_messages(pipe, subject, groups, counters, yield);
}

} // namespace shuffler
