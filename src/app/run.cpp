#include "app/run.hpp"

#include "app/input_driver.hpp"
#include "app/output_driver.hpp"
#include "buffers/buffer_pool.hpp"
#include "core/report.hpp"
#include "groups/group_table.hpp"
#include "net/connections.hpp"

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/strand.hpp>

#include <new>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>

namespace shuffler {

namespace asio = boost::asio;

namespace {

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

// "real R user U sys S" and "children user U sys S", each line only if its usage is known.
void report_times(const timeval& start) {
    timeval end;
    gettimeofday(&end, nullptr);
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        const double real =
            double(end.tv_sec - start.tv_sec) + double(end.tv_usec - start.tv_usec) * 1e-6;
        std::ostringstream line;
        line << "real " << real << " user " << seconds(usage.ru_utime) << " sys "
             << seconds(usage.ru_stime);
        write_error_line(line.str());
    }
    if (getrusage(RUSAGE_CHILDREN, &usage) == 0) {
        std::ostringstream line;
        line << "children user " << seconds(usage.ru_utime) << " sys " << seconds(usage.ru_stime);
        write_error_line(line.str());
    }
}

} // namespace

int run(const run_config& config) {
    timeval start;
    gettimeofday(&start, nullptr);
    {
        // Declared before the loop: coroutines still suspended when the loop is destroyed give
        // their blocks back as their stacks unwind.
        buffer_pool pool;
        group_table groups(pool);
        asio::io_context io;
        asio::deadline_timer run_timer(
            io, boost::posix_time::microseconds(std::int64_t(config.timeout) * 1000000));
        try {
            pool.create(std::uint64_t(config.pool_size));
        } catch (const std::bad_alloc&) {
            write_error_line("Cannot allocate a buffer pool of " +
                             std::to_string(config.pool_size) + " bytes");
            return -1;
        }
        groups.resize(config.max_groups > 0 ? std::size_t(config.max_groups) : 0);
        const session_config sessions{config.groupid, groups};

        const bool input_side = config.groupid < 0;
        if (input_side)
            run_timer.async_wait([&](const boost::system::error_code& ec) {
                unattended_check(groups, io, ec);
            });

        // spawn only queues each coroutine's first step: they start in this order once the
        // loop runs.
        for (const std::string& address : config.connect_list)
            asio::spawn(asio::make_strand(io), [&, address](asio::yield_context yield) {
                connect_peer(address, sessions, run_timer, yield);
            });
        if (!config.listen.empty())
            asio::spawn(asio::make_strand(io), [&](asio::yield_context yield) {
                accept_peers(config.listen, sessions, run_timer, yield);
            });
        asio::spawn(asio::make_strand(io), [&](asio::yield_context yield) {
            if (input_side)
                run_input(config.input_files, config.format, config.options, groups, io, yield);
            else
                run_output(config.input_files, config.format, groups, io, yield);
        });

        io.run();

        // Work ran out while a coroutine still waited for blocks: nothing could ever free them,
        // and what it held or was about to read would be lost without a word.
        if (!failure_flag && !pool.waiters().empty())
            report_line(io, "buffer pool: exhausted with data still waiting for blocks; "
                            "raise --pool_size");
        // Every wait ends while all that the waiters may touch still exists; only then go the
        // groups.
        groups.end_waits();
        groups.clear();
        report_times(start);
    }
    return failure_flag ? -1 : 0;
}

} // namespace shuffler
