#pragma once

// The processes of a job for the end-to-end tests of connections (delivery, rendezvous,
// security, spilling): a FASTQ pair in a test folder, an input side that listens on a port it
// picks and tells it in a port file, and workers that find it there.

#include "e2e/worker_output.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace shuffler_test {

// Two FASTQ files of `count` records each, r_1.fq and r_2.fq in `dir`: records of 1 to 40 bases
// (make_fastq), or with `bases`, records of that many bases each, named read<i>/1 and read<i>/2.
inline std::vector<std::string> make_pair(const temp_dir& dir, int count, int bases = 0) {
    std::vector<std::string> texts(2);
    if (bases == 0) {
        texts = {make_fastq("a", count, 1), make_fastq("a", count, 2)};
    } else {
        for (int i = 0; i < count; ++i)
            for (int f = 0; f < 2; ++f)
                texts[f] += "@read" + std::to_string(i) + "/" + std::to_string(f + 1) + "\n" +
                            std::string(std::size_t(bases), "ACGT"[(i + f) % 4]) + "\n+\n" +
                            std::string(std::size_t(bases), char('5' + i % 9)) + "\n";
    }
    write_file(dir.file("r_1.fq"), texts[0]);
    write_file(dir.file("r_2.fq"), texts[1]);
    return texts;
}

// An input side with the options `head`, a 60 s deadline and small blocks, dicing that pair.
inline std::vector<std::string> input_args(const temp_dir& dir,
                                           const std::vector<std::string>& head) {
    std::vector<std::string> args = head;
    for (const char* a : {"-t", "60", "-O", "blksize=2000"})
        args.push_back(a);
    args.push_back(dir.file("r_1.fq"));
    args.push_back(dir.file("r_2.fq"));
    return shuffler(args);
}

// Plain TCP for a job found through a port file, which otherwise carries a secret that makes the
// job TLS.
inline const std::vector<std::string> plain = {"--insecure"};

// An input side listening on a loopback port it picks and writes to `port_file`, serving
// `workers` workers, with `args` and a deadline that only a hang reaches unless they give one.
inline std::vector<std::string> listening_input(const std::string& port_file, int workers,
                                                const std::vector<std::string>& args) {
    std::vector<std::string> a = {"-l", any_loopback_port, "--port-file", port_file, "-w",
                                  std::to_string(workers)};
    if (std::find(args.begin(), args.end(), "-t") == args.end())
        a.insert(a.end(), {"-t", "60"});
    a.insert(a.end(), args.begin(), args.end());
    return shuffler(a);
}

// A worker of `group` connecting to `address` (or "@PORT_FILE"), with the options `extra` and a
// deadline that only a hang reaches unless they give one.
inline std::vector<std::string> worker_args(const std::string& address, int group = 0,
                                            const std::vector<std::string>& extra = {}) {
    std::vector<std::string> a = {"-g", std::to_string(group), "-c", address};
    if (std::find(extra.begin(), extra.end(), "-t") == extra.end())
        a.insert(a.end(), {"-t", "60"});
    a.insert(a.end(), extra.begin(), extra.end());
    return shuffler(a);
}

} // namespace shuffler_test
