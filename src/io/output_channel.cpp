#include "io/output_channel.hpp"

#include "core/report.hpp"
#include "wire/transfer.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace shuffler {

namespace asio = boost::asio;

namespace {

// How many bytes may go into the output now: unlimited unless it is a pipe, and then what keeps
// it within its size, waiting while it holds that much. A pipe full by its slots wakes a writer
// when its reader takes a slot; one that holds spliced pages may be full by its bytes with slots
// free, and nothing wakes a writer for that, so then its count is polled, less often the longer
// its reader stalls.
std::uint64_t output_room(output_channel& out, const asio::yield_context& yield,
                          boost::system::error_code& ec) {
    if (out.capacity == 0)
        return unlimited_step;
    const int fd = out.descriptor.native_handle();
    for (auto interval = std::chrono::milliseconds(1);; interval = std::min(2 * interval,
                                                        std::chrono::milliseconds(64))) {
        if (const std::uint64_t room = pipe_room(fd, out.capacity))
            return room;
        if (!pipe_has_free_slot(fd)) {
            out.descriptor.async_wait(asio::posix::stream_descriptor::wait_write, yield[ec]);
        } else {
            asio::steady_timer poll(out.descriptor.get_executor(), interval);
            poll.async_wait(yield[ec]);
        }
        if (ec)
            return 0;
    }
}

// Moves a message's payload to the output: the staged bytes with splice, then the rest from its
// blocks. Counts what was written in `written`.
boost::system::error_code write_all(output_channel& out, received_message& m,
                                    std::uint64_t& written, const asio::yield_context& yield) {
    boost::system::error_code ec;
    while (m.size() > 0) {
        const std::uint64_t room = output_room(out, yield, ec);
        if (ec)
            return ec;
        if (m.stage.size() == 0) {
            const std::size_t done = asio::async_write(out.descriptor, m.list.const_buffers(),
                                                       transfer_exactly_at_once{room}, yield[ec]);
            m.list.consume(done);
            written += done;
            if (ec)
                return ec;
            continue;
        }
        const ssize_t n = m.stage.drain_to(out.descriptor.native_handle(), room);
        if (n > 0)
            written += std::uint64_t(n);
        else if (n == 0 || errno == EAGAIN) // 0: another writer filled the pipe meanwhile
            out.descriptor.async_wait(asio::posix::stream_descriptor::wait_write, yield[ec]);
        else
            ec = boost::system::error_code(errno, boost::system::system_category());
        if (ec)
            return ec;
    }
    return ec;
}

} // namespace

// Writes one message's payload (the message without its header) to the output, whole, taking
// the output's turn so that payloads of different sessions never interleave. False when the
// session must end: cancelled, or the output failed and that is reported.
bool write_payload(output_channel& out, received_message& payload, std::uint64_t& written,
                   asio::io_context& io, const asio::yield_context& yield) {
    while (out.busy)
        out.turn.wait(yield);
    out.busy = true;
    const boost::system::error_code ec = write_all(out, payload, written, yield);
    out.busy = false;
    out.turn.wake_one(boost::system::error_code());
    if (is_cancellation(ec))
        return false;
    if (ec == asio::error::broken_pipe) {
        const std::string why = out.why_closed ? out.why_closed(yield) : "";
        report_line(io, why.empty() ? out.label + " closed by its reader" : out.label + ": " + why);
        return false;
    }
    if (ec) {
        report_failure(io, out.label, ec.message());
        return false;
    }
    return true;
}

} // namespace shuffler
