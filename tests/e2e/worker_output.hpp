#pragma once

// Running an input side with output-side workers, and checking what the workers received.

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace shuffler_test {

struct job_result {
    child_result input;
    std::vector<child_result> workers; // one per requested group, in request order
};

// Runs an input side listening on a loopback port it picks, with `args` and standard input `in`
// (every process with an empty PATH when `empty_path`: no program can be found), and one worker
// per entry of `groups` connecting with -g <group> `worker_args` to the address the input side
// writes to its port file (plain TCP). The input side is told to serve that many workers
// (unless `args` holds a -w), so the job ends once they are served, never by a deadline. Every
// process is bounded, so a hang fails instead of stalling.
inline job_result run_job(const std::vector<std::string>& args, const std::vector<int>& groups,
                          child_input in = {}, const std::vector<std::string>& worker_args = {},
                          bool empty_path = false) {
    const temp_dir rendezvous;
    const std::string port_file = rendezvous.file("job.port");
    std::vector<std::string> input_args = {"-l", any_loopback_port, "--port-file", port_file,
                                           "--insecure", "-t", "60"};
    if (!groups.empty() && std::find(args.begin(), args.end(), "-w") == args.end())
        input_args.insert(input_args.end(), {"-w", std::to_string(groups.size())});
    input_args.insert(input_args.end(), args.begin(), args.end());
    std::vector<std::string> argv = shuffler(input_args);
    if (empty_path)
        argv.insert(argv.begin(), {"/usr/bin/env", "PATH="});
    child_process input(argv, std::move(in));
    std::vector<std::unique_ptr<child_process>> workers;
    for (int g : groups) {
        std::vector<std::string> a = {"-c", "@" + port_file, "--insecure",
                                      "-g", std::to_string(g), "-t", "60"};
        a.insert(a.end(), worker_args.begin(), worker_args.end());
        std::vector<std::string> worker = shuffler(a);
        if (empty_path)
            worker.insert(worker.begin(), {"/usr/bin/env", "PATH="});
        workers.push_back(std::make_unique<child_process>(worker));
    }
    job_result r{input.wait(std::chrono::seconds(90)), {}};
    for (auto& w : workers)
        r.workers.push_back(w->wait(std::chrono::seconds(90)));
    return r;
}

// Exit status 0 and nothing on standard error but the timing report.
inline ::testing::AssertionResult ended_cleanly(const child_result& r) {
    if (r.exit_status == 0 && without_timing(r.err).empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "exit status " << r.exit_status << "; stderr: " << without_timing(r.err);
}

inline ::testing::AssertionResult job_ended_cleanly(const job_result& job) {
    ::testing::AssertionResult ok = ended_cleanly(job.input) << " (input side)";
    for (std::size_t i = 0; ok && i < job.workers.size(); ++i)
        ok = ended_cleanly(job.workers[i]) << " (worker " << i << ")";
    return ok;
}

// `count` records named <name><i>, with 1 to 40 bases each, varied by `seed`; lines end in `eol`.
inline std::string make_fastq(const std::string& name, int count, unsigned seed,
                       const std::string& eol = "\n") {
    std::string text;
    unsigned state = seed * 2654435761u + 1;
    const auto next = [&](unsigned n) {
        return ((state = state * 1103515245u + 12345u) >> 16) % n;
    };
    for (int i = 0; i < count; ++i) {
        std::string bases, quality;
        for (unsigned j = 0, length = 1 + next(40); j < length; ++j) {
            bases += "ACGTN"[next(5)];
            quality += char('!' + next(40));
        }
        text += "@" + name + std::to_string(i) + eol + bases + eol + "+" + eol + quality + eol;
    }
    return text;
}

// When line 1 of `record` ends in a " #N#" tag (before any carriage return), removes it and
// returns N; otherwise -1.
inline long take_tag(std::string& record) {
    static const std::regex tag(" #([0-9]+)#(?=\r*$)");
    const std::string line = record.substr(0, record.find('\n'));
    std::smatch m;
    if (!std::regex_search(line, m, tag))
        return -1;
    record.erase(std::size_t(m.position(0)), std::size_t(m.length(0)));
    return std::stol(m[1]);
}

// The check of every dicing run: the workers' outputs, cut into blocks and put in tag order, are
// exactly the input files. A block starts with one record per file, each tagged with the even
// count of records before the block; no other record is tagged; within a block records
// alternate between the files. With `blksize`, every block but the last closed at the first
// pass that reached the threshold in summed sequence length at an even record count.
inline ::testing::AssertionResult rebuilds_input(const job_result& job,
                                                 const std::vector<std::string>& inputs,
                                                 long blksize = 0,
                                                 std::size_t* block_count = nullptr) {
    using ::testing::AssertionFailure;
    const std::size_t files = inputs.size();
    std::vector<std::pair<long, std::vector<std::string>>> blocks; // tag, untagged records
    for (std::size_t w = 0; w < job.workers.size(); ++w) {
        const std::string& text = job.workers[w].out;
        for (std::size_t at = 0, i = 0; at < text.size(); ++i) {
            std::size_t end = at;
            for (int line = 0; line < 4 && end != std::string::npos; ++line)
                if ((end = text.find('\n', end)) != std::string::npos)
                    ++end;
            if (end == std::string::npos)
                return AssertionFailure() << "worker " << w << " got a partial record";
            std::string record = text.substr(at, end - at);
            at = end;
            const long tag = take_tag(record);
            const bool first_pass = i > 0 && blocks.back().second.size() < files;
            if (i == 0 && tag < 0)
                return AssertionFailure() << "worker " << w << " starts with an untagged record";
            if (first_pass && tag != blocks.back().first)
                return AssertionFailure() << "worker " << w << ", record " << i << ": tag " << tag
                                          << " in the first pass of block " << blocks.back().first;
            if (!first_pass && tag >= 0)
                blocks.push_back({tag, {}});
            blocks.back().second.push_back(record);
        }
    }
    std::sort(blocks.begin(), blocks.end());
    if (block_count)
        *block_count = blocks.size();
    std::vector<std::string> rebuilt(files);
    long before = 0; // records before the block
    const auto reached = [&](std::size_t bases, long records) {
        return bases >= std::size_t(blksize) && records % 2 == 0;
    };
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const auto& [tag, records] = blocks[b];
        if (tag != before || tag % 2 != 0)
            return AssertionFailure()
                   << "block " << b << " is tagged " << tag << " after " << before << " records";
        before += long(records.size());
        std::size_t bases = 0, before_last_pass = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (i % files == 0)
                before_last_pass = bases;
            // The dicer counts line 2 without its line feed and trailing CRs.
            const std::size_t from = records[i].find('\n') + 1;
            bases += records[i].find_last_not_of('\r', records[i].find('\n', from) - 1) + 1 - from;
            rebuilt[i % files] += records[i];
        }
        if (blksize > 0 && b + 1 < blocks.size() &&
            (!reached(bases, before) || reached(before_last_pass, before - long(files))))
            return AssertionFailure() << "block " << b << " (" << records.size() << " records, "
                                      << bases << " bases) did not close at the first pass "
                                      << "reaching " << blksize;
    }
    for (std::size_t f = 0; f < files; ++f)
        if (rebuilt[f] != inputs[f])
            return AssertionFailure() << "file " << f << " rebuilt differs (" << rebuilt[f].size()
                                      << " bytes, not " << inputs[f].size() << ")";
    return ::testing::AssertionSuccess();
}

} // namespace shuffler_test
