#pragma once

// Checks for what output-side workers received from an input side, and a runner for such jobs.

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace shuffler_test {

// ---- running a job ----------------------------------------------------------------------------

struct job_result {
    child_result input;                // the input side
    std::vector<child_result> workers; // one per requested group, in request order
};

// Runs an input side that listens on a free loopback port and stops after `timeout` seconds,
// with `args` after its -l and -t, and `in` as its standard input; and one worker per entry of `groups`, each
// connecting with -g <group>. Every process is bounded, so a hang fails instead of stalling.
inline job_result run_job(const std::vector<std::string>& args, const std::vector<int>& groups,
                          child_input in = {}, int timeout = 2) {
    const int port = free_port();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    std::vector<std::string> input_args = {"-l", address, "-t", std::to_string(timeout)};
    input_args.insert(input_args.end(), args.begin(), args.end());
    child_process input(shuffler(input_args), std::move(in));
    EXPECT_TRUE(wait_listening(port)) << "the input side never listened";
    std::vector<std::unique_ptr<child_process>> workers;
    for (int g : groups)
        workers.push_back(std::make_unique<child_process>(
            shuffler({"-c", address, "-g", std::to_string(g), "-t", "20"})));
    job_result r;
    r.input = input.wait(std::chrono::seconds(30));
    for (auto& w : workers)
        r.workers.push_back(w->wait(std::chrono::seconds(30)));
    return r;
}

// Exit status 0 and nothing on standard error but the timing report.
inline ::testing::AssertionResult ended_cleanly(const child_result& r) {
    if (r.timed_out)
        return ::testing::AssertionFailure() << "timed out; stderr: " << r.err;
    if (r.exit_status != 0 || !without_timing(r.err).empty())
        return ::testing::AssertionFailure()
               << "exit status " << r.exit_status << "; stderr: " << without_timing(r.err);
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult job_ended_cleanly(const job_result& job) {
    if (auto ok = ended_cleanly(job.input); !ok)
        return ::testing::AssertionFailure() << "input side: " << ok.message();
    for (std::size_t i = 0; i < job.workers.size(); ++i)
        if (auto ok = ended_cleanly(job.workers[i]); !ok)
            return ::testing::AssertionFailure() << "worker " << i << ": " << ok.message();
    return ::testing::AssertionSuccess();
}

inline std::vector<std::string> outputs_of(const job_result& job) {
    std::vector<std::string> out;
    for (const child_result& w : job.workers)
        out.push_back(w.out);
    return out;
}

// ---- FASTQ blocks -----------------------------------------------------------------------------

// One diced block as it arrived: the number in its tags and its records with the tags removed.
struct fastq_block {
    long first_record = -1;
    std::vector<std::string> records; // four lines each, final line feed included
};

// Splits FASTQ text into four-line records; false when the text does not end on a record end.
inline bool split_records(const std::string& text, std::vector<std::string>& records) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at;
        for (int line = 0; line < 4; ++line) {
            end = text.find('\n', end);
            if (end == std::string::npos)
                return false;
            ++end;
        }
        records.push_back(text.substr(at, end - at));
        at = end;
    }
    return true;
}

// When line 1 of `record` ends in a " #N#" tag, removes it and returns N; otherwise -1.
inline long take_tag(std::string& record) {
    const std::size_t lf = record.find('\n');
    if (lf < 4 || record[lf - 1] != '#')
        return -1;
    std::size_t digits = lf - 1;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(record[digits - 1])))
        --digits;
    if (digits == lf - 1 || digits < 2 || record.compare(digits - 2, 2, " #") != 0)
        return -1;
    const long n = std::stol(record.substr(digits, lf - 1 - digits));
    record.erase(digits - 2, lf - (digits - 2));
    return n;
}

// The sequence length the dicer counts: line 2 without its line feed and trailing CRs.
inline std::size_t sequence_length(const std::string& record) {
    const std::size_t from = record.find('\n') + 1;
    std::size_t to = record.find('\n', from);
    while (to > from && record[to - 1] == '\r')
        --to;
    return to - from;
}

// Splits each worker's output into blocks: a block starts with `files` records (one per input
// file) tagged with the same number, and no other record carries a tag. The blocks come back in
// the order of their tags.
inline ::testing::AssertionResult split_blocks(const std::vector<std::string>& outputs,
                                               std::size_t files,
                                               std::vector<fastq_block>& blocks) {
    for (std::size_t w = 0; w < outputs.size(); ++w) {
        std::vector<std::string> records;
        if (!split_records(outputs[w], records))
            return ::testing::AssertionFailure() << "worker " << w << " got a partial record";
        for (std::size_t i = 0; i < records.size(); ++i) {
            const long tag = take_tag(records[i]);
            const bool first_pass = i > 0 && blocks.back().records.size() < files;
            if (first_pass && tag != blocks.back().first_record)
                return ::testing::AssertionFailure()
                       << "worker " << w << ", record " << i << ": tag " << tag
                       << " in the first pass of block " << blocks.back().first_record;
            if (i == 0 && tag < 0)
                return ::testing::AssertionFailure()
                       << "worker " << w << "'s output does not start with a tagged record";
            if (!first_pass && tag >= 0)
                blocks.push_back({tag, {}});
            blocks.back().records.push_back(records[i]);
        }
    }
    std::sort(blocks.begin(), blocks.end(), [](const fastq_block& a, const fastq_block& b) {
        return a.first_record < b.first_record;
    });
    return ::testing::AssertionSuccess();
}

// The reusable check of every dicing run: the workers' outputs, split into blocks and put in tag
// order, are exactly the input files. Each block's tag is the count of records before it and
// even; within a block, records alternate between the files pass by pass. With `blksize`, every
// block but the last also closed at the first pass that reached the threshold on summed
// sequence length with an even record count. `block_count` receives the number of blocks.
inline ::testing::AssertionResult rebuilds_input(const std::vector<std::string>& outputs,
                                                 const std::vector<std::string>& inputs,
                                                 long blksize = 0,
                                                 std::size_t* block_count = nullptr) {
    const std::size_t files = inputs.size();
    std::vector<fastq_block> blocks;
    if (auto ok = split_blocks(outputs, files, blocks); !ok)
        return ok;
    if (block_count)
        *block_count = blocks.size();
    std::vector<std::string> rebuilt(files);
    long records_before = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const fastq_block& block = blocks[b];
        if (block.first_record != records_before || block.first_record % 2 != 0)
            return ::testing::AssertionFailure()
                   << "block " << b << " is tagged " << block.first_record << " after "
                   << records_before << " records";
        records_before += long(block.records.size());
        std::size_t bases = 0, bases_before_last_pass = 0;
        for (std::size_t i = 0; i < block.records.size(); ++i) {
            if (i % files == 0)
                bases_before_last_pass = bases;
            bases += sequence_length(block.records[i]);
            rebuilt[i % files] += block.records[i];
        }
        if (blksize > 0 && b + 1 < blocks.size()) {
            const bool reached = bases >= std::size_t(blksize) && records_before % 2 == 0;
            const bool reached_a_pass_earlier =
                bases_before_last_pass >= std::size_t(blksize) &&
                (records_before - long(files)) % 2 == 0;
            if (!reached || reached_a_pass_earlier)
                return ::testing::AssertionFailure()
                       << "block " << b << " (" << block.records.size() << " records, " << bases
                       << " bases) did not close at the first pass reaching " << blksize;
        }
    }
    for (std::size_t f = 0; f < files; ++f)
        if (rebuilt[f] != inputs[f])
            return ::testing::AssertionFailure()
                   << "file " << f << " rebuilt as " << rebuilt[f].size() << " bytes, not "
                   << inputs[f].size() << "; first difference at byte "
                   << std::distance(rebuilt[f].begin(),
                                    std::mismatch(rebuilt[f].begin(), rebuilt[f].end(),
                                                  inputs[f].begin(), inputs[f].end())
                                        .first);
    return ::testing::AssertionSuccess();
}

} // namespace shuffler_test
