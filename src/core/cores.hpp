#pragma once

#include <sched.h>

namespace shuffler {

// The cores this process may run on (its CPU affinity, which `taskset` and batch schedulers set),
// at least one.
inline unsigned available_cores() {
    cpu_set_t cores;
    return ::sched_getaffinity(0, sizeof cores, &cores) == 0 ? unsigned(CPU_COUNT(&cores)) : 1u;
}

} // namespace shuffler
