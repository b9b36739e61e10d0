#pragma once

// A FASTQ pair in a test folder and the input side that dices it, for the end-to-end tests of
// connections (rendezvous, security).

#include "e2e/worker_output.hpp"

#include <string>
#include <vector>

namespace shuffler_test {

// Two FASTQ files of `count` records each, r_1.fq and r_2.fq in `dir`, as the dicing checks
// expect.
inline std::vector<std::string> make_pair(const temp_dir& dir, int count) {
    const std::vector<std::string> texts = {make_fastq("a", count, 1), make_fastq("a", count, 2)};
    write_file(dir.file("r_1.fq"), texts[0]);
    write_file(dir.file("r_2.fq"), texts[1]);
    return texts;
}

// An input side with the options `head`, a 20 s deadline and small blocks, dicing that pair.
inline std::vector<std::string> input_args(const temp_dir& dir,
                                           const std::vector<std::string>& head) {
    std::vector<std::string> args = head;
    for (const char* a : {"-t", "20", "-O", "blksize=2000"})
        args.push_back(a);
    args.push_back(dir.file("r_1.fq"));
    args.push_back(dir.file("r_2.fq"));
    return shuffler(args);
}

} // namespace shuffler_test
