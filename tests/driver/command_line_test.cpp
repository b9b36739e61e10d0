#include "support/process.hpp"

#include <gtest/gtest.h>

using namespace shuffler_test;

TEST(CommandLine, NoArgumentsIsRefusedWithUsage) {
    const child_result r = run(shuffler({}));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err.rfind("No listen or connect option is specified\nUsage: ", 0), 0u) << r.err;
}
