#pragma once

#include "app/options.hpp"

namespace shuffler {

// Builds the process (event loop, run timer, pool, groups, coroutines), runs the event loop,
// tears it down and prints the timing report. Returns the process exit status.
int run(const run_config& config);

} // namespace shuffler
