#include "io/shell_command.hpp"

#include <gtest/gtest.h>

#include <csignal>

using namespace shuffler;

namespace {

TEST(WaitStatus, ReadsAsAnExitStatusOrTheSignalThatKilled) {
    EXPECT_EQ(describe_wait_status(0), "");
    EXPECT_EQ(describe_wait_status(1 << 8), "exited with status 1");
    EXPECT_EQ(describe_wait_status(128 << 8), "exited with status 128");
    EXPECT_EQ(describe_wait_status(255 << 8), "exited with status 255");
    EXPECT_EQ(describe_wait_status(SIGKILL), "killed by signal SIGKILL");
    // The shell reports its command's death by signal N as exit status 128 + N.
    EXPECT_EQ(describe_wait_status((128 + SIGPIPE) << 8), "killed by signal SIGPIPE");
    EXPECT_EQ(describe_wait_status(-1), "could not be waited for");
    EXPECT_TRUE(died_of_broken_pipe(SIGPIPE));
    EXPECT_TRUE(died_of_broken_pipe((128 + SIGPIPE) << 8));
    EXPECT_FALSE(died_of_broken_pipe(0));
    EXPECT_FALSE(died_of_broken_pipe(SIGKILL));
    EXPECT_FALSE(died_of_broken_pipe(1 << 8));
}

} // namespace
