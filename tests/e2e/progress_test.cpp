// End-to-end --progress and --summary: the lines are there, they agree with what was delivered,
// and the delivered data is what it is without them. (Standard error without these options is
// checked by every other end-to-end test: only the timing lines.)

#include "e2e/worker_output.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(90);

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

TEST(Progress, SummaryLinesAgreeWithWhatTheWorkersWrote) {
    const temp_dir dir;
    const std::vector<std::string> inputs = {make_fastq("a", 4000, 1), make_fastq("a", 4000, 2)};
    write_file(dir.file("r_1.fq"), inputs[0]);
    write_file(dir.file("r_2.fq"), inputs[1]);
    const std::string port_file = dir.file("job.port");
    child_process input(shuffler({"-l", "127.0.0.1:0", "--port-file", port_file, "-w", "2",
                                  "--progress", "-t", "60", "-O", "blksize=3000",
                                  dir.file("r_1.fq"), dir.file("r_2.fq")}));
    child_process w1(shuffler({"-g", "0", "-c", "@" + port_file, "-t", "60", "--summary"}));
    child_process w2(shuffler({"-g", "0", "-c", "@" + port_file, "-t", "60", "--progress"}));
    const job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
    EXPECT_TRUE(rebuilds_input(job, inputs));
    for (const child_result& r : {job.input, job.workers[0], job.workers[1]}) {
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << "not a terminal: one line per update";
    }

    // The input side: its last status line has the totals, then the input's and every worker's.
    const std::string& err = job.input.err;
    const auto status = lines_starting(err, "progress ");
    ASSERT_FALSE(status.empty()) << err;
    EXPECT_NE(status.back().find("8000 records"), std::string::npos) << status.back();
    EXPECT_NE(status.back().find("workers 0; served 0: "), std::string::npos) << status.back();
    const std::size_t input_bytes = inputs[0].size() + inputs[1].size();
    const auto input_summary = lines_starting(err, "summary: input: ");
    ASSERT_EQ(input_summary.size(), 1u) << err;
    EXPECT_TRUE(std::regex_match(input_summary[0],
                                 std::regex("summary: input: 8000 records, " +
                                            std::to_string(input_bytes) + " bytes, [0-9.]+ s")))
        << input_summary[0];
    const std::regex worker_line("summary: worker 127\\.0\\.0\\.1:[0-9]+, group 0: ([0-9]+) "
                                 "messages, ([0-9]+) records, ([0-9]+) bytes, [0-9.]+ s");
    std::size_t records = 0, bytes = 0;
    std::vector<std::size_t> worker_bytes;
    for (const std::string& line : lines_starting(err, "summary: worker ")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, worker_line)) << line;
        records += std::stoul(m[2]);
        bytes += std::stoul(m[3]);
        worker_bytes.push_back(std::stoul(m[3]));
    }
    EXPECT_EQ(worker_bytes.size(), 2u) << err;
    EXPECT_EQ(records, 8000u);
    EXPECT_EQ(bytes, job.workers[0].out.size() + job.workers[1].out.size());
    std::sort(worker_bytes.begin(), worker_bytes.end());
    std::vector<std::size_t> written = {job.workers[0].out.size(), job.workers[1].out.size()};
    std::sort(written.begin(), written.end());
    EXPECT_EQ(worker_bytes, written);

    // The workers: their own totals; --progress adds status lines, --summary alone does not.
    for (int w = 0; w < 2; ++w) {
        const child_result& r = job.workers[std::size_t(w)];
        EXPECT_EQ(lines_starting(r.err, "progress ").empty(), w == 0) << r.err;
        const auto summary = lines_starting(r.err, "summary: group 0: ");
        ASSERT_EQ(summary.size(), 1u) << r.err;
        EXPECT_NE(summary[0].find(", " + std::to_string(r.out.size()) + " bytes written, "),
                  std::string::npos)
            << summary[0];
    }
}

// On a terminal the status line is redrawn in place, and lines that follow it start clean.
TEST(Progress, OnATerminalTheStatusLineIsRedrawnInPlace) {
    const temp_dir dir;
    const std::string fastq = make_fastq("a", 2000, 3);
    write_file(dir.file("a.fq"), fastq);
    const std::string port_file = dir.file("job.port"), go = dir.file("go");
    // The input lasts until the test has seen the line drawn twice: then it ends, and the last
    // line is drawn.
    const std::string input = shuffler_binary() + " -l 127.0.0.1:0 --port-file " + port_file +
                              " -w 1 -t 300 --progress -f fastq 'cat " + dir.file("a.fq") +
                              "; while [ ! -e " + go + " ]; do sleep 0.05; done |'";
    child_process terminal({"/usr/bin/script", "-qec", input, "/dev/null"}, {}, true);
    child_process worker(shuffler({"-g", "0", "-c", "@" + port_file, "-t", "300"}));
    // Drawn: a carriage return, the line, the old line's rest erased, no line feed.
    const std::regex drawn("\rprogress [0-9.]+ s: [^\r\n]*\x1b\\[K");
    const auto draws = [&](const std::string& text) {
        return std::distance(std::sregex_iterator(text.begin(), text.end(), drawn),
                             std::sregex_iterator());
    };
    std::string out;
    char buffer[4096];
    for (ssize_t got = 1; got > 0 && readable(terminal.output_reader(), limit);) {
        if ((got = ::read(terminal.output_reader(), buffer, sizeof buffer)) > 0)
            out.append(buffer, std::size_t(got));
        if (draws(out) >= 2 && !std::filesystem::exists(go))
            write_file(go, "");
    }
    EXPECT_TRUE(std::filesystem::exists(go)) << "drawn less than twice: " << out;
    write_file(go, ""); // whatever happened, the input ends
    const child_result r = terminal.wait(limit);
    const child_result w = worker.wait(limit);
    EXPECT_EQ(r.exit_status, 0) << out;
    EXPECT_TRUE(ended_cleanly(w));
    EXPECT_EQ(w.out.size(), fastq.size() + std::string(" #0#").size());
    EXPECT_GE(draws(out), 3) << out; // redrawn at least twice, then the last line

    // The last status line and the summary stand on lines of their own (the terminal turns each
    // line feed into CR LF).
    EXPECT_NE(out.find("2000 records, "), std::string::npos) << out;
    EXPECT_NE(out.find("\x1b[K\r\nsummary: input: 2000 records"), std::string::npos) << out;
}

} // namespace
} // namespace shuffler_test
