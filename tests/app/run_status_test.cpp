#include "app/run_status.hpp"

#include "core/report.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

using namespace shuffler;

namespace {

// The libraries report through the loop they run on; the program's run_status, attached to it,
// keeps the first failure, writes the lines and alone ends the run.
TEST(RunStatus, KeepsTheFirstFailureAndEndsTheRunOfTheLoopItIsAttachedTo) {
    run_status status;
    boost::asio::io_context io;
    status.attach(io);
    int ran = 0; // handlers queued after the failure
    boost::asio::post(io, [&] {
        // A library's report, found through the loop as any library finds it.
        report_to(io).note("127.0.0.1:5: closed before any data; connection dropped");
        EXPECT_FALSE(report_to(io).failed()) << "a note is not a failure";
        report_failure(io, "reads.fq", "record 3: line 3 does not begin with '+'");
        report_line(io, "a consequence of the first");
    });
    for (int i = 0; i < 3; ++i)
        boost::asio::post(io, [&] { ++ran; });
    testing::internal::CaptureStderr();
    io.run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "127.0.0.1:5: closed before any data; connection dropped\n"
              "reads.fq: record 3: line 3 does not begin with '+'\n"
              "a consequence of the first\n");
    EXPECT_TRUE(status.failed());
    EXPECT_EQ(status.reason(), "reads.fq: record 3: line 3 does not begin with '+'");
    EXPECT_EQ(ran, 0) << "the failure did not stop the loop";
}

// While peers are told why, what the failure brings about is neither written nor the reason;
// once the loop is gone a failure is still kept and written.
TEST(RunStatus, HeldLinesAreNeitherWrittenNorTheReasonAndALateFailureStillCounts) {
    run_status status;
    {
        boost::asio::io_context io;
        status.attach(io);
        testing::internal::CaptureStderr();
        status.hold_lines(true);
        report_failure(io, "127.0.0.1:9", "connection reset by peer");
        status.hold_lines(false);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(status.failed());
        EXPECT_EQ(status.reason(), "");
    }
    status.detach();
    testing::internal::CaptureStderr();
    status.fail("interrupted by SIGTERM");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "interrupted by SIGTERM\n");
    EXPECT_EQ(status.reason(), "interrupted by SIGTERM");
}

// A loop with no report attached (a library on its own, a test) has a plain one: lines go to
// standard error, the failure is kept, and the loop runs on.
TEST(RunStatus, ALoopWithoutOneHasAPlainReportThatNeverStopsIt) {
    boost::asio::io_context io;
    int ran = 0;
    boost::asio::post(io, [&] { report_failure(io, "x.sam", "bad header"); });
    boost::asio::post(io, [&] { ++ran; });
    testing::internal::CaptureStderr();
    io.run();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "x.sam: bad header\n");
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(report_to(io).failed());
    EXPECT_EQ(report_to(io).reason(), "x.sam: bad header");
}

} // namespace
