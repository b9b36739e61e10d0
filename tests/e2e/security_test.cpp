// End-to-end security: jobs whose connections are TLS with a secret of the job, from a secret file
// or from the rendezvous file, and peers without that secret kept out. Every process is real and
// bounded; a relay in the test records what another user of the network could capture.

#include "e2e/pair_job.hpp"
#include "e2e/worker_output.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

namespace shuffler_test {
namespace {

constexpr std::chrono::seconds limit(60);

// A TCP relay on a free loopback port to 127.0.0.1:`target_port`, recording every byte that
// crosses it either way.
class recording_relay {
public:
    explicit recording_relay(int target_port) : target_(target_port) {
        listener_ = loopback_socket(0, port_);
        thread_ = std::thread([this] { relay(); });
    }
    ~recording_relay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    std::string captured() {
        std::lock_guard<std::mutex> lock(mutex_);
        return captured_;
    }

private:
    void relay() {
        std::vector<int> ends; // pairs: ends[2k] and ends[2k + 1] are relayed to each other
        std::vector<bool> open;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const int fd : ends)
                fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int client = ::accept(listener_, nullptr, nullptr);
                int own = 0;
                ends.push_back(client);
                ends.push_back(loopback_socket(target_, own));
                open.insert(open.end(), {true, true});
            }
            for (std::size_t i = 1; i < fds.size(); ++i) {
                const std::size_t from = i - 1, to = from ^ 1;
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || !open[from])
                    continue;
                char buffer[65536];
                const ssize_t n = ::recv(ends[from], buffer, sizeof buffer, 0);
                if (n <= 0) {
                    open[from] = false;
                    ::shutdown(ends[to], SHUT_WR);
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    captured_.append(buffer, std::size_t(n));
                }
                write_all(ends[to], std::string(buffer, std::size_t(n)));
            }
            // A closed end polls readable for ever: stop watching it.
            for (std::size_t k = 0; k < ends.size(); k += 2)
                if (!open[k] && !open[k + 1]) {
                    ::close(ends[k]);
                    ::close(ends[k + 1]);
                    ends.erase(ends.begin() + long(k), ends.begin() + long(k) + 2);
                    open.erase(open.begin() + long(k), open.begin() + long(k) + 2);
                    k -= 2;
                }
        }
        for (const int fd : ends)
            ::close(fd);
    }

    int target_, port_ = 0, listener_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string captured_;
    std::thread thread_;
};

void write_secret(const std::string& path, const std::string& secret, mode_t mode = 0600) {
    write_file(path, secret + "\n");
    ::chmod(path.c_str(), mode);
}

std::size_t count_lines_with(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
        ++count;
    return count;
}

// Sends a valid handshake for group 0 as a raw socket and reads until the input side closes:
// what came back, empty when nothing did.
std::string raw_handshake(int port) {
    int own = 0;
    const int fd = loopback_socket(port, own);
    const std::string handshake("\0\0\0\0\0\0\xff\xff", 8); // length 0, group 0, check 65535
    ::send(fd, handshake.data(), handshake.size(), MSG_NOSIGNAL);
    std::string reply;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 10000) == 1) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        reply.append(buffer, std::size_t(n));
    }
    ::close(fd);
    return reply;
}

TEST(Security, ASecretFileJobDeliversExactlyOnceAndKeepsOutEveryPeerWithoutTheSecret) {
    const temp_dir dir;
    const auto inputs = make_pair(dir, 3000);
    write_secret(dir.file("job.secret"), "the job's secret");
    write_secret(dir.file("other.secret"), "another job's secret");
    const std::string port_file = dir.file("job.port"); // the secret is in the secret file
    child_process input(input_args(dir, {"-l", any_loopback_port, "--port-file", port_file,
                                         "--secret-file", dir.file("job.secret"), "-w", "2"}));
    const int port = port_of(listener_address(port_file));
    ASSERT_NE(port, 0) << "no port file";

    // Another secret, none at all, and a raw socket with a valid handshake: each is dropped by
    // the input side with a notice, and the two workers among them fail with one line.
    const child_result wrong = run(
        worker_args(loopback(port), 0, {"--secret-file", dir.file("other.secret")}), {}, limit);
    EXPECT_EQ(wrong.exit_status, 255);
    EXPECT_EQ(count_lines_with(without_timing(wrong.err), "\n"), 1u) << wrong.err;
    EXPECT_NE(wrong.err.find("TLS handshake failed"), std::string::npos) << wrong.err;
    EXPECT_EQ(wrong.out, "");
    // A worker without the secret speaks plain TCP: it is told, in plain text, what it lacks.
    const child_result plain = run(worker_args(loopback(port)), {}, limit);
    EXPECT_EQ(plain.exit_status, 255);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(count_lines_with(without_timing(plain.err), "\n"), 1u) << plain.err;
    EXPECT_NE(plain.err.find("this worker does not hold its secret: give it the job's port file"),
              std::string::npos)
        << plain.err;
    const std::string reply = raw_handshake(port);
    EXPECT_EQ(reply.find(inputs[0].substr(0, 20)), std::string::npos) << "data without the secret";
    EXPECT_NE(reply.find("this job uses TLS"), std::string::npos) << "only the notice came back";

    child_process w1(worker_args(loopback(port), 0, {"--secret-file", dir.file("job.secret")}));
    child_process w2(worker_args(loopback(port), 0, {"--secret-file", dir.file("job.secret")}));
    job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
    EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
    const std::string notices = without_timing(job.input.err);
    EXPECT_EQ(count_lines_with(notices, "; connection dropped\n"), 3u) << notices;
    EXPECT_EQ(count_lines_with(notices, "\n"), 3u) << notices;
    EXPECT_TRUE(ended_cleanly(job.workers[0]));
    EXPECT_TRUE(ended_cleanly(job.workers[1]));
    EXPECT_TRUE(rebuilds_input(job, inputs));
}

// The same job through a port file, with no option about security, and with --insecure: only the
// latter shows its records to a capture of the traffic. A process given the address but not the
// file cannot join the encrypted job.
TEST(Security, ARendezvousJobIsEncryptedByDefaultAndOnlyReadersOfTheFileJoin) {
    for (const bool insecure : {false, true}) {
        SCOPED_TRACE(insecure ? "--insecure" : "default");
        const temp_dir dir;
        const auto inputs = make_pair(dir, 3000);
        const std::string port_file = dir.file("job.port");
        std::vector<std::string> head = {"-l", any_loopback_port, "--port-file", port_file, "-w",
                                         "2"};
        if (insecure)
            head.push_back("--insecure");
        child_process input(input_args(dir, head));
        const std::string text = port_file_text(port_file);
        ASSERT_NE(text, "") << "no port file";
        const std::string address = text.substr(0, text.find('\n'));
        const std::size_t secret_at = text.find("\nsecret=");
        EXPECT_EQ(secret_at == std::string::npos, insecure) << text;
        if (!insecure) { // 32 random bytes in hex
            EXPECT_EQ(text.size() - secret_at, std::string("\nsecret=\n").size() + 64) << text;
        }
        const int port = std::stoi(address.substr(address.rfind(':') + 1));

        if (!insecure) {
            const child_result stranger = run(worker_args(address), {}, limit);
            EXPECT_EQ(stranger.exit_status, 255);
            EXPECT_EQ(stranger.out, "");
        }
        // The workers reach the listener through the relay: the same file, another port.
        recording_relay relay(port);
        const std::string relayed = dir.file("relayed.port");
        write_file(relayed, loopback(relay.port()) + text.substr(text.find('\n')));
        ::chmod(relayed.c_str(), 0600);
        child_process w1(worker_args("@" + relayed));
        child_process w2(worker_args("@" + relayed));
        job_result job{input.wait(limit), {w1.wait(limit), w2.wait(limit)}};
        EXPECT_EQ(job.input.exit_status, 0) << job.input.err;
        EXPECT_EQ(count_lines_with(without_timing(job.input.err), "; connection dropped\n"),
                  insecure ? 0u : 1u)
            << job.input.err;
        EXPECT_TRUE(ended_cleanly(job.workers[0]));
        EXPECT_TRUE(ended_cleanly(job.workers[1]));
        EXPECT_TRUE(rebuilds_input(job, inputs));

        // A whole record from the middle of the first file, as it travels in plain TCP.
        const std::string& first = inputs[0];
        const std::size_t from = first.find("\n@a1500\n") + 1;
        const std::string record = first.substr(from, first.find("\n@a1501\n") + 1 - from);
        const std::string captured = relay.captured();
        EXPECT_GT(captured.size(), first.size()) << "the relay saw too little";
        EXPECT_EQ(captured.find(record) != std::string::npos, insecure);
        EXPECT_EQ(captured.find("@a1500\n") != std::string::npos, insecure);
    }
}

TEST(Security, ASecretFileOthersMayReadIsRefusedWithTheWayToFixIt) {
    const temp_dir dir;
    const std::string path = dir.file("job.secret");
    const reserved_port nobody; // never reached: the command line is refused first
    for (const mode_t mode : {0644, 0640, 0604, 0602}) {
        write_secret(path, "a secret", mode);
        for (const std::vector<std::string>& role :
             {std::vector<std::string>{"-l", any_loopback_port},
              std::vector<std::string>{"-g", "0", "-c", nobody.address()}}) {
            std::vector<std::string> args = role;
            args.insert(args.end(), {"--secret-file", path});
            const child_result r = run(shuffler(args), {}, limit);
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.err,
                      path + ": other users may read or change this secret file; chmod 600 " +
                          path + "\n");
        }
    }
    // An empty secret, a missing file, and a secret file with --insecure are refused too.
    write_secret(path, "  \n", 0600);
    const child_result empty = run(shuffler({"-l", ":1", "--secret-file", path}), {}, limit);
    EXPECT_EQ(empty.exit_status, 1);
    EXPECT_NE(empty.err.find(path + ": holds no secret"), std::string::npos) << empty.err;
    const child_result missing =
        run(shuffler({"-l", ":1", "--secret-file", dir.file("none")}), {}, limit);
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, dir.file("none") + ": No such file or directory\n");
    write_secret(path, "a secret", 0600);
    const child_result both =
        run(shuffler({"-l", ":1", "--secret-file", path, "--insecure"}), {}, limit);
    EXPECT_EQ(both.exit_status, 1);
    EXPECT_EQ(both.err.substr(0, both.err.find('\n')),
              "--insecure and --secret-file contradict each other");
}

} // namespace
} // namespace shuffler_test
