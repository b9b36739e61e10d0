// The interval-string parser: no crash on any text; what it keeps is well formed and tagged with
// its shard; a refusal names an item of the input.

#include "formats/intervals.hpp"
#include "fuzz/fuzz_support.hpp"

#include <algorithm>
#include <string>

using namespace shuffler;
using namespace shuffler_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    // "@PATH" items would read files named by the input: not the parser's business here.
    if (text.find('@') != std::string::npos)
        return 0;
    interval_set set;
    set.origins.push_back("-O s7");
    std::string bad;
    bool accepted = false;
    try {
        accepted = parse_interval_list(text, 7, 0, set, bad);
    } catch (const std::exception&) {
        return 0; // only file items throw, and there are none
    }
    for (const shard_interval& e : set.intervals) {
        FUZZ_CHECK(!e.contig.empty() && text.find(e.contig) != std::string::npos);
        FUZZ_CHECK(e.shard == 7 && e.origin == 0 && e.start <= e.end);
    }
    // At most one interval per comma-separated item.
    FUZZ_CHECK(set.intervals.size() <= std::size_t(std::count(text.begin(), text.end(), ',')) + 1);
    if (!accepted)
        FUZZ_CHECK(!bad.empty());
    return 0;
}
