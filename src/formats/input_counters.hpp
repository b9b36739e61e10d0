#pragma once

#include <cstdint>

namespace shuffler {

// What an input routine has taken from its input so far, for --progress and --summary. Updated
// once per message or buffer refill, never per record.
struct input_counters {
    std::uint64_t bytes = 0;   // input bytes taken (decompressed)
    std::uint64_t records = 0; // FASTQ records, SAM lines, or stored messages
};

} // namespace shuffler
