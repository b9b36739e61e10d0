#include "io/endpoint.hpp"
#include "core/coroutine.hpp"

#include "core/report.hpp"
#include "support/process.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;

namespace {

TEST(CloseAndWait, ClosesThenSaysHowTheChildEnded) {
    const std::pair<std::string, std::string> cases[] = {
        {"true", ""},
        {"exit 3", "exited with status 3"},
        {"kill -KILL $$", "killed by signal SIGKILL"},
        // Still writing when this end closes: cut off by the close, not a failure of its own.
        {"yes", ""},
    };
    for (const auto& [command, how] : cases) {
        SCOPED_TRACE(command);
        asio::io_context io;
        std::string ended = "not run";
        spawn_coroutine(io, [&](const asio::yield_context& yield) {
            endpoint pipe(io);
            pipe.open_command(command, "r");
            ended = pipe.close_and_wait(yield);
            EXPECT_FALSE(pipe.descriptor.is_open());
        });
        io.run();
        EXPECT_EQ(ended, how);
    }
}

// What close() reports for a child, and whether the loop ran on while the child was alive.
struct closing {
    std::string err;
    bool failed = false;
    bool loop_ran = false;
};

// Starts `command` (which may wait for a writer on the fifo `gate`), closes the pipe at once, and
// runs the loop, in which a handler opens and closes `gate` to let the child finish.
closing close_and_run(const std::string& command, const std::string& gate, bool failed_before) {
    closing c;
    stderr_report report; // outlives the loop, which may report as it goes
    if (failed_before) {
        report.hold_lines(true);
        report.fail("an earlier failure");
        report.hold_lines(false);
    }
    testing::internal::CaptureStderr();
    {
        asio::io_context io;
        attach_report(io, report);
        {
            endpoint pipe(io);
            pipe.open_command(command, "r");
        } // closed here, its child still running
        asio::post(io, [&] {
            c.loop_ran = true;
            ::close(::open(gate.c_str(), O_WRONLY));
        });
        io.run();
    }
    c.err = without_sanitizer_notes(testing::internal::GetCapturedStderr());
    c.failed = report.failed();
    return c;
}

// Children that wait on a fifo, the gate, until the loop runs.
class ClosePipe : public ::testing::Test {
protected:
    const temp_dir dir;
    const std::string gate = dir.file("gate");
    void SetUp() override { ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0); }
};

TEST_F(ClosePipe, WaitsForTheChildWithoutBlockingTheLoopThenReportsItsFailure) {
    // The child closes its output, then waits for the loop's handler: waiting for it on the
    // loop's thread would never return.
    const std::string command = "exec >&-; cat " + gate + " >/dev/null; exit 4";
    const closing c = close_and_run(command, gate, false);
    EXPECT_TRUE(c.loop_ran);
    EXPECT_TRUE(c.failed);
    EXPECT_EQ(c.err, "pipe command '" + command + " |': exited with status 4\n");
}

TEST_F(ClosePipe, ABrokenPipeIsAFailureOnlyUntilAnotherFailureStopsTheRun) {
    // Writes once the gate opens, after this end has closed.
    const std::string command = "cat " + gate + " >/dev/null; yes";
    const closing first = close_and_run(command, gate, false);
    EXPECT_TRUE(first.failed);
    EXPECT_EQ(first.err, "pipe command '" + command + " |': killed by signal SIGPIPE\n");
    // Shutting down after an error cuts children off: one failure, one line.
    const closing later = close_and_run(command, gate, true);
    EXPECT_TRUE(later.failed);
    EXPECT_EQ(later.err, "");
}

TEST(StandardStreams, ClosingPutsBackTheFlagsTheStreamHadSoNextProgramsCanShareIt) {
    for (const int fd : {0, 1}) {
        SCOPED_TRACE(fd);
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        const int shared = ends[fd == 0 ? 0 : 1]; // the end the stream is on
        const int saved = ::dup(fd);
        ASSERT_EQ(::dup2(shared, fd), fd);
        ASSERT_EQ(::write(ends[1], "x", 1), 1);
        {
            asio::io_context io;
            endpoint stream(io);
            stream.open_stdio(fd);
            EXPECT_EQ(stream.description(), fd == 0 ? "stdin" : "stdout");
            spawn_coroutine(io, [&](const asio::yield_context& yield) {
                char byte = 0;
                if (fd == 0)
                    asio::async_read(stream.descriptor, asio::buffer(&byte, 1), yield);
                else
                    asio::async_write(stream.descriptor, asio::buffer("y", 1), yield);
            });
            io.run();
            // Asio made the stream non-blocking to wait on it.
            EXPECT_NE(::fcntl(shared, F_GETFL) & O_NONBLOCK, 0);
        }
        const int flags = ::fcntl(shared, F_GETFL);
        ::dup2(saved, fd);
        ::close(saved);
        ::close(ends[0]);
        ::close(ends[1]);
        EXPECT_EQ(flags & O_NONBLOCK, 0);
    }
}

} // namespace
