// End-to-end runs across hosts: each host is a network namespace with its own address, joined to
// the others through a bridge that lives in a namespace of its own. Cutting a host's bridge port
// there is a silent link loss (no FIN, no RST reaches either end), which loopback cannot show.
// Building namespaces needs root and iproute2; without them every case is skipped.

#include "e2e/worker_output.hpp"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <future>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace shuffler_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using clock_type = std::chrono::steady_clock;

const std::string lab_prefix = "shfnet"; // namespaces are named shfnet<pid>-<lab>-<role>

// The iproute2 program, or empty when there is none.
std::string ip_program() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

// Runs `ip args...`; a failure throws with ip's own message.
void ip(std::vector<std::string> args) {
    args.insert(args.begin(), ip_program());
    const child_result r = run(args, {}, seconds(20));
    if (r.exit_status != 0) {
        std::string command;
        for (const std::string& a : args)
            command += " " + a;
        throw std::runtime_error("ip" + command.substr(command.find(' ', 1)) + ": " + r.err);
    }
}

// Namespaces left by a test process that was killed before it could remove them.
void remove_orphaned_namespaces() {
    DIR* dir = ::opendir("/run/netns");
    if (!dir)
        return;
    std::vector<std::string> orphans;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(lab_prefix, 0) != 0)
            continue;
        const long pid = std::atol(name.c_str() + lab_prefix.size());
        if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            orphans.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : orphans)
        run({ip_program(), "netns", "delete", name}, {}, seconds(20));
}

// Hosts 0..n-1 at 10.200.0.1, 10.200.0.2, ... on one bridge. The bridge's namespace is private
// to the lab, so labs of concurrent test processes never see each other and may share addresses.
class netns_lab {
public:
    explicit netns_lab(int hosts) {
        static int labs = 0;
        const std::string name = lab_prefix + std::to_string(::getpid()) + "-" +
                                 std::to_string(labs++) + "-";
        bridge_ = name + "br";
        add_namespace(bridge_);
        ip({"-n", bridge_, "link", "add", "br0", "type", "bridge"});
        ip({"-n", bridge_, "link", "set", "br0", "up"});
        for (int h = 0; h < hosts; ++h) {
            const std::string host = name + "h" + std::to_string(h);
            add_namespace(host);
            hosts_.push_back(host);
            ip({"link", "add", "eth0", "netns", host, "type", "veth", "peer", "name", port(h),
                "netns", bridge_});
            ip({"-n", bridge_, "link", "set", port(h), "master", "br0", "up"});
            ip({"-n", host, "address", "add", address(h) + "/24", "dev", "eth0"});
            ip({"-n", host, "link", "set", "eth0", "up"});
            ip({"-n", host, "link", "set", "lo", "up"});
        }
    }
    netns_lab(const netns_lab&) = delete;
    netns_lab& operator=(const netns_lab&) = delete;
    // Removing a namespace removes its links; processes still inside are gone by then, as the
    // children of a test are declared after its lab.
    ~netns_lab() {
        for (auto ns = namespaces_.rbegin(); ns != namespaces_.rend(); ++ns)
            run({ip_program(), "netns", "delete", *ns}, {}, seconds(20));
    }

    std::string address(int host) const { return "10.200.0." + std::to_string(host + 1); }

    // argv running `argv` on `host`. `ip netns exec` execs the command in place, so the child's
    // pid, signals and exit status are the command's own.
    std::vector<std::string> on(int host, std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {ip_program(), "netns", "exec", hosts_.at(std::size_t(host))});
        return argv;
    }

    // Downs the host's bridge port: frames to and from the host are dropped without a word.
    void cut(int host) const { ip({"-n", bridge_, "link", "set", port(host), "down"}); }

private:
    static std::string port(int host) { return "p" + std::to_string(host); }
    void add_namespace(const std::string& ns) {
        ip({"netns", "add", ns});
        namespaces_.push_back(ns);
    }

    std::string bridge_;
    std::vector<std::string> hosts_, namespaces_;
};

class Hosts : public ::testing::Test {
protected:
    static constexpr int host_count = 4;

    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespace hosts need root";
        if (ip_program().empty())
            GTEST_SKIP() << "network namespace hosts need iproute2's ip";
        remove_orphaned_namespaces();
        try {
            lab_.emplace(host_count);
        } catch (const std::exception& e) {
            GTEST_SKIP() << "cannot build network namespace hosts: " << e.what();
        }
    }
    void TearDown() override { lab_.reset(); }

    std::optional<netns_lab> lab_;
};

std::vector<std::string> joined(std::vector<std::string> argv,
                                const std::vector<std::string>& more) {
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

// Runs one job across the lab: the input side on host 0 with `input_args`, one worker on each of
// hosts 1, 2, ... for the entries of `groups`. Either the workers connect to the input side,
// which listens and expects them (-w), or they listen and the input side connects to each; the
// listeners pick their ports and tell them in port files (plain TCP). The run deadlines are far:
// the job must end when its data is through.
job_result spread_job(const netns_lab& lab, bool workers_listen,
                      const std::vector<std::string>& input_args, const std::vector<int>& groups,
                      child_input in = {}) {
    const seconds limit(90);
    const std::vector<std::string> far = {"-t", "60", "--insecure"};
    const temp_dir rendezvous;
    std::vector<std::unique_ptr<child_process>> workers;
    std::unique_ptr<child_process> input;
    const auto worker = [&](int host, const std::vector<std::string>& peer) {
        const std::string group = std::to_string(groups[std::size_t(host - 1)]);
        return std::make_unique<child_process>(
            lab.on(host, shuffler(joined(joined({"-g", group}, far), peer))));
    };
    if (workers_listen) {
        std::vector<std::string> connects;
        for (int h = 1; h <= int(groups.size()); ++h) {
            const std::string port_file = rendezvous.file(std::to_string(h) + ".port");
            workers.push_back(
                worker(h, {"-l", lab.address(h) + ":0", "--port-file", port_file}));
            connects.insert(connects.end(), {"-c", "@" + port_file});
        }
        input = std::make_unique<child_process>(
            lab.on(0, shuffler(joined(joined(connects, far), input_args))), std::move(in));
    } else {
        const std::string expected = std::to_string(groups.size());
        const std::string port_file = rendezvous.file("input.port");
        input = std::make_unique<child_process>(
            lab.on(0, shuffler(joined(joined({"-l", lab.address(0) + ":0", "--port-file",
                                               port_file, "-w", expected},
                                              far),
                                       input_args))),
            std::move(in));
        for (int h = 1; h <= int(groups.size()); ++h)
            workers.push_back(worker(h, {"-c", "@" + port_file}));
    }
    job_result r{input->wait(limit), {}};
    for (auto& w : workers)
        r.workers.push_back(w->wait(limit));
    return r;
}

const std::string sam_header = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:900000\n"
                               "@SQ\tSN:chr2\tLN:900000\n@SQ\tSN:chr3\tLN:900000\n";

TEST_F(Hosts, JobsSpreadOverHostsDeliverEveryRecordExactlyOnce) {
    const temp_dir dir;
    const std::vector<std::string> pair = {make_fastq("p", 30000, 7), make_fastq("p", 30000, 8)};
    write_file(dir.file("r_1.fq"), pair[0]);
    write_file(dir.file("r_2.fq"), pair[1]);
    // Shard 1 is chr1, shard 2 is chr2; group 0 gets chr3 and the unplaced lines.
    std::string sam = sam_header;
    std::vector<std::string> shards(3, sam_header);
    const char* contigs[] = {"chr1", "chr2", "chr3", "*"};
    // About 5 MB a shard: more than one message each.
    for (int i = 0; i < 60000; ++i) {
        const int c = (i * 7) % 4;
        const std::string line = "q" + std::to_string(i) + "\t0\t" + contigs[c] + "\t" +
                                 std::to_string(c == 3 ? 0 : 1 + i * 10) + "\t60\t100M\t*\t0\t0\t" +
                                 std::string(100, "ACGT"[i % 4]) + "\t" + std::string(100, 'I') +
                                 "\n";
        sam += line;
        shards[c < 2 ? std::size_t(c + 1) : 0] += line;
    }
    for (const bool workers_listen : {false, true}) {
        SCOPED_TRACE(workers_listen ? "workers listen" : "workers connect");
        {
            SCOPED_TRACE("FASTQ pair diced to three hosts");
            const job_result job =
                spread_job(*lab_, workers_listen,
                           {"-O", "blksize=20000", dir.file("r_1.fq"), dir.file("r_2.fq")},
                           {0, 0, 0});
            EXPECT_TRUE(job_ended_cleanly(job));
            EXPECT_TRUE(rebuilds_input(job, pair, 20000));
        }
        {
            SCOPED_TRACE("SAM sharded to three hosts");
            const job_result job =
                spread_job(*lab_, workers_listen, {"-f", "sam", "-O", "s1=chr1", "-O", "s2=chr2"},
                           {0, 1, 2}, {child_input::pipe, sam});
            EXPECT_TRUE(job_ended_cleanly(job));
            for (std::size_t g = 0; g < shards.size(); ++g)
                EXPECT_TRUE(job.workers[g].out == shards[g])
                    << "group " << g << ": " << job.workers[g].out.size() << " bytes, not "
                    << shards[g].size();
        }
    }
}

// Reads a worker's piped output at a fixed pace on a thread, as a consumer slower than the
// network: data keeps flowing and keeps being acknowledged. Stops at end of file or when
// destroyed.
class paced_consumer {
public:
    // Takes `own_fd`, a descriptor of its own (child_process::own_output_reader).
    paced_consumer(int own_fd, std::size_t bytes_per_tick)
        : fd_(own_fd), thread_([this, bytes_per_tick] {
              std::vector<char> buffer(bytes_per_tick);
              while (!stop_) {
                  pollfd p = {fd_, POLLIN, 0};
                  if (::poll(&p, 1, 10) <= 0)
                      continue;
                  const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
                  if (got <= 0)
                      return;
                  bytes_ += std::size_t(got);
                  std::this_thread::sleep_for(milliseconds(50));
              }
          }) {}
    ~paced_consumer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::size_t bytes() const { return bytes_; }

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> bytes_{0};
    std::thread thread_;
};

// A child's result and when it ended, waited for on a thread so that several children's ends
// are timed as they happen.
std::future<std::pair<child_result, clock_type::time_point>> ending(child_process& child,
                                                                   seconds bound) {
    return std::async(std::launch::async, [&child, bound] {
        child_result r = child.wait(bound);
        return std::make_pair(std::move(r), clock_type::now());
    });
}

// The input side on host 0 and one worker on host 1, both with a peer timeout of `peer_timeout`
// seconds; once data flows, host 1's link is cut. `stalled`: the worker's consumer reads
// nothing, so the worker has nothing to acknowledge and only keepalive can find the loss.
// Checks that both sides end with 255, each with the line of a lost peer. Their deadlines are
// far, and they are killed (137) at a bound well before them, so that only finding the loss can
// end them; how soon after the cut each did is recorded, not judged: it depends on the machine.
void cut_link_while_flowing(const netns_lab& lab, bool stalled) {
    constexpr int peer_timeout = 2;
    const seconds bound(60);
    const temp_dir dir;
    // About 3 MB in messages of about 130 kB, more than the worker's widened 1 MiB pipe holds:
    // read at 64 kB every 50 ms the data flows for seconds, so messages are in flight when the
    // link goes, and a stalled consumer leaves its worker blocked with its pipe full.
    write_file(dir.file("r_1.fq"), make_fastq("c", 30000, 3));
    write_file(dir.file("r_2.fq"), make_fastq("c", 30000, 4));
    const std::string port_file = dir.file("job.port");
    child_process input(lab.on(
        0, shuffler({"-l", lab.address(0) + ":0", "--port-file", port_file, "--insecure", "-w",
                     "1", "-t", "300", "--peer-timeout", std::to_string(peer_timeout), "-O",
                     "blksize=50000", dir.file("r_1.fq"), dir.file("r_2.fq")})));
    const std::string input_address = listener_address(port_file);
    ASSERT_NE(input_address, "") << "the input side never listened";
    child_process worker(lab.on(1, shuffler({"-g", "0", "-c", input_address, "-t", "300",
                                             "--peer-timeout", std::to_string(peer_timeout)})),
                         {}, true);
    std::optional<paced_consumer> consumer;
    if (!stalled)
        consumer.emplace(worker.own_output_reader(), 65536);
    if (consumer) {
        ASSERT_TRUE(eventually([&] { return consumer->bytes() > 0; }, bound))
            << "no data reached the worker's consumer";
    } else {
        ASSERT_TRUE(readable(worker.output_reader(), bound)) << "no data reached the worker";
    }
    lab.cut(1);
    const auto cut = clock_type::now();
    auto input_end = ending(input, bound);
    auto worker_end = ending(worker, bound);
    const auto [in, in_at] = input_end.get();
    const auto [out, out_at] = worker_end.get();
    const auto ms = [&](clock_type::time_point t) {
        return std::chrono::duration_cast<milliseconds>(t - cut).count();
    };
    ::testing::Test::RecordProperty("input_side_ms_after_cut", int(ms(in_at)));
    ::testing::Test::RecordProperty("worker_ms_after_cut", int(ms(out_at)));

    EXPECT_EQ(in.exit_status, 255) << in.err;
    const std::string worker_prefix = "^" + lab.address(1) + ":[0-9]+: worker failed";
    // The kernel's timeout, or the worker that stopped acknowledging what it holds (its
    // consumer stalled, or the cut keeps its acknowledgements away): whichever comes first.
    const std::string dropped = " \\((Connection timed out|no acknowledgement for " +
                                std::to_string(peer_timeout) + " s)\\)\n";
    // Written to its output (the pipe took some even when nobody reads it): those messages
    // cannot be sent again, and the run fails.
    const std::regex input_error(worker_prefix + " after writing [0-9]+ messages to its output" +
                                 dropped + "$");
    EXPECT_TRUE(std::regex_match(without_timing(in.err), input_error)) << in.err;

    EXPECT_EQ(out.exit_status, 255) << out.err;
    // One line about the input side, whichever of its reads and writes met the loss first.
    const std::regex worker_error("^" + input_address + ": [^\n]+\n$");
    EXPECT_TRUE(std::regex_match(without_timing(out.err), worker_error)) << out.err;
}

TEST_F(Hosts, ASilentLinkCutEndsBothSidesWithinThreePeerTimeouts) {
    cut_link_while_flowing(*lab_, false);
}

// The worker's window is full and its consumer reads nothing, so the worker neither reads nor
// writes its connection: the input side finds the loss, and the worker must too, through the
// watch it keeps on its connection.
TEST_F(Hosts, ASilentLinkCutEndsAWorkerWhoseConsumerIsStalled) {
    cut_link_while_flowing(*lab_, true);
}

// A port file left by a run that died names a host that no longer answers at all (its SYNs
// vanish: here a neighbour entry sends them to a hardware address nobody has). The worker gives
// up on that address after a short attempt and reads the file again, so it finds the input side
// that has since replaced the file, instead of waiting on the dead host until its deadline.
TEST_F(Hosts, AStalePortFileNamingASilentHostIsReadAgain) {
    const temp_dir dir;
    const std::vector<std::string> pair = {make_fastq("s", 2000, 1), make_fastq("s", 2000, 2)};
    write_file(dir.file("r_1.fq"), pair[0]);
    write_file(dir.file("r_2.fq"), pair[1]);
    const std::string port_file = dir.file("job.port");
    const child_result neighbour = run(lab_->on(1, {ip_program(), "neigh", "add", "10.200.0.99",
                                                    "lladdr", "02:00:00:00:00:99", "dev", "eth0"}),
                                       {}, seconds(20));
    ASSERT_EQ(neighbour.exit_status, 0) << neighbour.err;
    write_file(port_file, "10.200.0.99:4000\n");
    open_watch watch(port_file); // before the worker starts, so that no open is missed
    // Its deadline is what a worker that kept to the dead address would reach: it then fails.
    child_process worker(
        lab_->on(1, shuffler({"-g", "0", "-c", "@" + port_file, "--insecure", "-t", "60"})));
    // Once the worker has read the file it tries the dead address; the input side replaces the
    // file.
    ASSERT_TRUE(watch.opened(1)) << "the worker never read the port file";
    child_process input(lab_->on(0, shuffler({"-l", lab_->address(0) + ":0", "--port-file",
                                              port_file, "--insecure", "-w", "1", "-t", "60",
                                              dir.file("r_1.fq"), dir.file("r_2.fq")})));
    job_result job{input.wait(seconds(90)), {}};
    job.workers.push_back(worker.wait(seconds(90)));
    EXPECT_TRUE(job_ended_cleanly(job));
    EXPECT_TRUE(rebuilds_input(job, pair));
}

// The chaos loop: FASTQ pair jobs and SAM jobs, two workers per shard spread over the hosts,
// each worker listening with a port file and the input side connecting to all of them, plain
// TCP and TLS in turn. A random worker is killed (SIGKILL) at a random moment. Whatever happens,
// every output of a worker that exits 0 holds only records of its group, none twice across the
// group's exit-0 outputs, a SAM output the header first and once; when the input side exits 0
// they hold every record; and every process ends (how soon after the kill is reported). The
// seed is fixed, and printed with the counts.
struct chaos_counts {
    int runs = 0, input_ok = 0, input_failed = 0, victim_done_before = 0, victim_acknowledged = 0,
        workers_ok = 0, workers_failed = 0;
    long records_checked = 0, slowest_end_ms = 0;
};

// The records of a FASTQ output, block tags removed; false on a partial record.
bool fastq_records(const std::string& text, std::vector<std::string>& records) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = at;
        for (int line = 0; line < 4; ++line) {
            end = text.find('\n', end);
            if (end == std::string::npos)
                return false;
            ++end;
        }
        std::string record = text.substr(at, end - at);
        take_tag(record);
        records.push_back(std::move(record));
        at = end;
    }
    return true;
}

std::vector<std::string> text_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? end : end + 1 - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

void chaos_loop(const netns_lab& lab, bool fastq) {
    constexpr unsigned seed = 22022;
    // Long enough for a paced consumer to take a 4 MiB SAM message on a loaded machine; the
    // kills themselves are seen at once (the victim's kernel closes its connections).
    constexpr int peer_timeout = 10;
    constexpr int runs_per_kind = 20;
    std::mt19937 random(seed);
    std::cout << "chaos: seed " << seed << (fastq ? ", FASTQ pair" : ", SAM") << std::endl;
    const temp_dir dir;
    const std::vector<std::string> pair = {make_fastq("c", 30000, 5), make_fastq("c", 30000, 6)};
    write_file(dir.file("r_1.fq"), pair[0]);
    write_file(dir.file("r_2.fq"), pair[1]);
    std::multiset<std::string> fastq_input; // every record of both files
    {
        std::vector<std::string> records;
        for (const std::string& text : pair)
            EXPECT_TRUE(fastq_records(text, records));
        fastq_input.insert(records.begin(), records.end());
    }
    std::string sam = sam_header;
    std::vector<std::multiset<std::string>> shard_lines(3);
    const char* contigs[] = {"chr1", "chr2", "chr3", "*"};
    for (int i = 0; i < 30000; ++i) {
        const int c = (i * 7) % 4;
        const std::string line = "k" + std::to_string(i) + "\t0\t" + contigs[c] + "\t" +
                                 std::to_string(c == 3 ? 0 : 1 + i * 10) + "\t60\t100M\t*\t0\t0\t" +
                                 std::string(100, "ACGT"[i % 4]) + "\t" + std::string(100, 'I') +
                                 "\n";
        sam += line;
        shard_lines[c < 2 ? std::size_t(c + 1) : 0].insert(line);
    }
    write_file(dir.file("in.sam"), sam);

    chaos_counts c;
    {
        for (int run = 0; run < runs_per_kind; ++run) {
            SCOPED_TRACE((fastq ? "FASTQ run " : "SAM run ") + std::to_string(run));
            const bool tls = run % 2 == 1;
            const std::vector<int> groups =
                fastq ? std::vector<int>{0, 0} : std::vector<int>{0, 0, 1, 1, 2, 2};
            const std::size_t victim = random() % groups.size();
            // Within the job's span: a FASTQ job is over sooner than a SAM one.
            const milliseconds moment(50 + random() % (fastq ? 700 : 1500));
            const std::string timeout = std::to_string(peer_timeout);
            std::vector<std::unique_ptr<child_process>> workers;
            // A peer killed before the input side reached it is never reached: the input side's
            // deadline then ends its run (255), well within the bound below.
            std::vector<std::string> input_argv = {"-t", "20", "--peer-timeout", timeout};
            for (std::size_t w = 0; w < groups.size(); ++w) {
                const int host = 1 + int(w % 3);
                const std::string port_file =
                    dir.file((fastq ? "fastq-" : "sam-") + std::to_string(run) + "-" +
                             std::to_string(w) + ".port");
                std::vector<std::string> args = {"-g", std::to_string(groups[w]), "-l",
                                                 lab.address(host) + ":0", "--port-file",
                                                 port_file, "-t", "20", "--peer-timeout", timeout};
                if (!tls)
                    args.push_back("--insecure");
                workers.push_back(std::make_unique<child_process>(lab.on(host, shuffler(args)),
                                                                  child_input{}, true));
                input_argv.insert(input_argv.end(), {"-c", "@" + port_file});
                if (listener_address(port_file).empty())
                    FAIL() << "worker " << w << " never listened: "
                           << workers.back()->wait(milliseconds(0)).err;
            }
            if (!tls)
                input_argv.push_back("--insecure");
            if (fastq)
                input_argv.insert(input_argv.end(), {"-O", "blksize=20000", dir.file("r_1.fq"),
                                                     dir.file("r_2.fq")});
            else
                input_argv.insert(input_argv.end(),
                                  {"-O", "s1=chr1", "-O", "s2=chr2", dir.file("in.sam")});
            // Every output is drained at about 800 kB/s while the job runs, so that it lasts long
            // enough for the kill to land in its middle, and every worker still acknowledges now
            // and then; what is left once every process has ended, at full speed.
            std::vector<std::future<std::string>> outputs;
            auto hurry = std::make_shared<std::atomic<bool>>(false);
            auto flowing = std::make_shared<std::atomic<bool>>(false); // a worker got data
            for (auto& w : workers)
                // A descriptor of its own: waiting for the worker closes the child's.
                outputs.push_back(std::async(std::launch::async,
                                             [fd = w->own_output_reader(), hurry, flowing] {
                    std::string text;
                    char buffer[8192];
                    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                        text.append(buffer, std::size_t(got));
                        *flowing = true;
                        if (!*hurry)
                            std::this_thread::sleep_for(milliseconds(10));
                    }
                    ::close(fd);
                    return text;
                }));
            child_process input(lab.on(0, shuffler(input_argv)));
            // The random moment of the fault, counted from the first data a worker received, so
            // that a slow start on a loaded machine does not move the fault before the job.
            eventually([&] { return bool(*flowing); }, seconds(60));
            std::this_thread::sleep_for(moment);
            workers[victim]->signal(SIGKILL);
            const auto kill = clock_type::now();
            // Killed (137) at the bound, which only a hang reaches: how soon after the kill each
            // process ended is recorded, not judged, as it depends on the machine.
            const seconds bound(60);
            auto input_end = ending(input, bound);
            std::vector<std::future<std::pair<child_result, clock_type::time_point>>> ends;
            for (auto& w : workers)
                ends.push_back(ending(*w, bound));
            const auto [in, in_at] = input_end.get();
            std::vector<child_result> results;
            std::vector<clock_type::time_point> times = {in_at};
            for (auto& e : ends) {
                auto [r, at] = e.get();
                results.push_back(std::move(r));
                times.push_back(at);
            }
            *hurry = true;
            for (std::size_t w = 0; w < workers.size(); ++w)
                results[w].out = outputs[w].get();
            ++c.runs;
            std::string report = "victim " + std::to_string(victim) + " at " +
                                 std::to_string(moment.count()) + " ms; input side " +
                                 std::to_string(in.exit_status) + ": " + in.err;
            for (std::size_t w = 0; w < results.size(); ++w)
                report += "worker " + std::to_string(w) + " " +
                          std::to_string(results[w].exit_status) + ": " + results[w].err;
            SCOPED_TRACE(report);
            for (const auto at : times) {
                const long ms = long(std::chrono::duration_cast<milliseconds>(at - kill).count());
                c.slowest_end_ms = std::max(c.slowest_end_ms, ms);
            }
            EXPECT_TRUE(in.exit_status == 0 || in.exit_status == 255) << in.err;
            (in.exit_status == 0 ? c.input_ok : c.input_failed) += 1;
            c.victim_done_before += results[victim].exit_status == 0;
            // A victim killed between its final acknowledgement and its exit had everything in
            // its output (a pipe, drained here); the input side rightly exits 0. Its output is
            // checked with the others.
            // (One that acknowledged nothing is named by the input side, and its messages sent
            // again: its output holds nothing that counts.)
            const bool victim_delivered = in.exit_status == 0 &&
                                          results[victim].exit_status != 0 &&
                                          in.err.find("worker failed") == std::string::npos;
            c.victim_acknowledged += victim_delivered;
            // What every exit-0 output holds.
            std::vector<std::multiset<std::string>> got(3);
            for (std::size_t w = 0; w < workers.size(); ++w) {
                const child_result& r = results[w];
                if (w != victim)
                    (r.exit_status == 0 ? c.workers_ok : c.workers_failed) += 1;
                if (r.exit_status != 0 && !(w == victim && victim_delivered)) {
                    EXPECT_TRUE(w == victim || r.exit_status == 255) << "worker " << w << ": " << r.err;
                    continue;
                }
                const std::size_t g = std::size_t(groups[w]);
                if (fastq) {
                    std::vector<std::string> records;
                    EXPECT_TRUE(fastq_records(r.out, records)) << "worker " << w << ": partial record";
                    got[g].insert(records.begin(), records.end());
                    c.records_checked += long(records.size());
                } else {
                    EXPECT_EQ(r.out.rfind(sam_header, 0), 0u) << "worker " << w << ": no header first";
                    const std::vector<std::string> lines =
                        text_lines(r.out.substr(std::min(r.out.size(), sam_header.size())));
                    for (const std::string& l : lines) {
                        EXPECT_NE(l[0], '@') << "worker " << w << ": a header line inside";
                        EXPECT_EQ(shard_lines[g].count(l), 1u) << "worker " << w << ": " << l;
                    }
                    got[g].insert(lines.begin(), lines.end());
                    c.records_checked += long(lines.size());
                }
            }
            for (std::size_t g = 0; g < (fastq ? 1u : 3u); ++g) {
                const std::multiset<std::string>& all = fastq ? fastq_input : shard_lines[g];
                // Nothing twice, nothing foreign; everything when the input side succeeded.
                for (auto it = got[g].begin(); it != got[g].end(); it = got[g].upper_bound(*it))
                    EXPECT_EQ(got[g].count(*it), all.count(*it)) << "group " << g << ": " << *it;
                if (in.exit_status == 0) {
                    EXPECT_TRUE(got[g] == all) << "group " << g << ": " << got[g].size()
                                               << " records, not " << all.size();
                }
            }
        }
    }
    {
        std::cout << "chaos: " << (fastq ? "FASTQ pair" : "SAM 3 groups") << ": " << c.runs
                  << " runs, input side 0: " << c.input_ok << ", 255: " << c.input_failed
                  << "; victim done before its kill: " << c.victim_done_before
                  << ", killed after its final acknowledgement: " << c.victim_acknowledged
                  << "; other workers 0: " << c.workers_ok << ", 255: " << c.workers_failed
                  << "; records checked: " << c.records_checked
                  << "; slowest end after a kill: " << c.slowest_end_ms << " ms" << std::endl;
    }
}

TEST_F(Hosts, ChaosKillingAWorkerOfAFastqPairJobNeverLosesNorDuplicatesARecord) {
    chaos_loop(*lab_, true);
}

TEST_F(Hosts, ChaosKillingAWorkerOfASamJobNeverLosesNorDuplicatesARecord) {
    chaos_loop(*lab_, false);
}

} // namespace
} // namespace shuffler_test
