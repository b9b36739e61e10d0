// Option parsing: any argument vector is either refused with a command_line_error or gives a
// configuration that keeps the command line's promises.
//
// Input: the arguments after the program name, separated by NUL bytes.

#include "app/options.hpp"
#include "fuzz/fuzz_support.hpp"

#include <getopt.h>

#include <string>
#include <vector>

using namespace shuffler;
using namespace shuffler_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words = {"shuffler"};
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    words.push_back(word);
    if (words.size() > 64)
        return 0;
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    optind = 0; // getopt starts afresh for every input
    opterr = 0; // its complaints are not what is tested
    try {
        const run_config config = parse_command_line(int(words.size()), argv.data());
        if (config.help || config.version)
            return 0; // nothing else is checked then
        if (config.plan) {
            // --plan runs no job: it takes no address, no group, and SAM shard keys.
            FUZZ_CHECK(config.listen.empty() && config.connect_list.empty());
            FUZZ_CHECK(config.groupid < 0 && config.shards.max_shard > 0);
            return 0;
        }
        FUZZ_CHECK(config.listen.empty() != config.connect_list.empty());
        FUZZ_CHECK(config.groupid < config.max_groups && config.groupid <= 65535);
        FUZZ_CHECK(config.pool_size > 0);
    } catch (const command_line_error& e) {
        FUZZ_CHECK(*e.what() != '\0'); // a refusal says why
    }
    return 0;
}
