// The interval-string parser: no crash on any text; what it keeps is well formed and stamped;
// a refusal names an item of the input.

#include "formats/intervals.hpp"
#include "fuzz/fuzz_support.hpp"

#include <algorithm>
#include <string>

using namespace shuffler;
using namespace shuffler_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const std::string original = text.c_str(); // the parser sees the text up to a NUL
    shard_map map;
    std::string bad;
    const bool accepted = parse_interval_list(text.data(), map, bad);
    stamp_shard(map, 7);
    std::size_t entries = 0;
    for (const auto& [name, list] : map) {
        FUZZ_CHECK(!name.empty() && original.find(name) != std::string::npos);
        for (const interval_entry& e : list) {
            FUZZ_CHECK(e.tag == 7 && e.start <= e.end);
            ++entries;
        }
    }
    // At most one interval per comma-separated item.
    FUZZ_CHECK(entries <= std::size_t(std::count(original.begin(), original.end(), ',')) + 1);
    if (!accepted)
        FUZZ_CHECK(original.find(bad) != std::string::npos);
    return 0;
}
