#include "io/pipe_stage.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <string>

using namespace shuffler;

namespace {

// A connected pair of loopback TCP sockets: splice() reads sockets of that kind, not socketpairs.
struct tcp_pair {
    int sender = -1, receiver = -1;

    tcp_pair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
        sender = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(sender, reinterpret_cast<sockaddr*>(&address), size), 0);
        receiver = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        ::close(listener);
    }
    ~tcp_pair() {
        ::close(sender);
        ::close(receiver);
    }
};

std::string pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = char('a' + (i * 7 + i / 4093) % 26);
    return s;
}

// Stages `want` bytes from the socket, waiting for them, until done or the stage is full.
void stage(pipe_stage& stage, int socket, std::uint64_t want) {
    while (stage.size() < want) {
        const ssize_t n = stage.fill_from(socket, want - stage.size());
        ASSERT_NE(n, 0) << "end of stream";
        if (n > 0)
            continue;
        ASSERT_EQ(errno, EAGAIN);
        if (stage.full())
            return;
        pollfd p{socket, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
    }
}

// Drains the stage into a pipe whose other end a thread reads whole.
std::string drain(pipe_stage& stage) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_NONBLOCK), 0);
    std::string out;
    std::thread reader([&] {
        char buffer[65536];
        ::fcntl(ends[0], F_SETFL, 0);
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
            out.append(buffer, std::size_t(n));
    });
    while (stage.size() > 0) {
        const ssize_t n = stage.drain_to(ends[1], stage.size());
        if (n < 0 && errno == EAGAIN) {
            pollfd p{ends[1], POLLOUT, 0};
            ::poll(&p, 1, 10000);
        } else if (n <= 0) {
            ADD_FAILURE() << "drain_to: " << (n < 0 ? errno : 0);
            break;
        }
    }
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    return out;
}

} // namespace

// A payload larger than one pipe moves socket -> pipes -> pipe unchanged, and the stage stops at
// its pipes' limit without losing a byte: what it could not take is still in the socket.
TEST(PipeStage, StagedBytesComeOutUnchangedAndAFullStageLeavesTheRestInTheSocket) {
    const std::string payload = pattern(3 << 20);
    {
        tcp_pair tcp;
        std::thread sender([&] { ASSERT_EQ(::write(tcp.sender, payload.data(), payload.size()),
                                           ssize_t(payload.size())); });
        pipe_stage staged(64);
        stage(staged, tcp.receiver, payload.size());
        EXPECT_FALSE(staged.full());
        EXPECT_EQ(staged.size(), payload.size());
        EXPECT_EQ(drain(staged), payload);
        EXPECT_EQ(staged.size(), 0u);
        sender.join();
    }
    {
        tcp_pair tcp;
        const std::string large = pattern(24 << 20);
        std::thread sender([&] {
            for (std::size_t done = 0; done < large.size();) {
                const ssize_t n = ::write(tcp.sender, large.data() + done, large.size() - done);
                ASSERT_GT(n, 0);
                done += std::size_t(n);
            }
            ::shutdown(tcp.sender, SHUT_WR);
        });
        pipe_stage staged(1);
        stage(staged, tcp.receiver, large.size());
        ASSERT_TRUE(staged.full());
        ASSERT_GE(staged.size(), 64u << 10) << "a pipe holds at least its size";
        ASSERT_LT(staged.size(), large.size());
        EXPECT_EQ(staged.fill_from(tcp.receiver, 1), -1);
        EXPECT_EQ(errno, EAGAIN) << "a full stage takes nothing more";
        const std::size_t head = staged.size();
        std::string rest = drain(staged);
        EXPECT_EQ(rest, large.substr(0, head));
        ::fcntl(tcp.receiver, F_SETFL, 0);
        char buffer[65536];
        for (ssize_t n; (n = ::read(tcp.receiver, buffer, sizeof buffer)) > 0;)
            rest.append(buffer, std::size_t(n));
        sender.join();
        EXPECT_TRUE(rest == large) << "every byte once, in order";
    }
}

TEST(PipeStage, TheEndOfTheStreamAndAnEmptySocketAreTold) {
    tcp_pair tcp;
    pipe_stage staged(2);
    EXPECT_EQ(staged.fill_from(tcp.receiver, 100), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(staged.full()) << "nothing came: that is not a full stage";
    ASSERT_EQ(::write(tcp.sender, "abc", 3), 3);
    ::shutdown(tcp.sender, SHUT_WR);
    stage(staged, tcp.receiver, 3);
    EXPECT_EQ(staged.fill_from(tcp.receiver, 100), 0);
    EXPECT_EQ(drain(staged), "abc");
}

// Out of descriptors, the stage is full at once and takes nothing: the message then comes
// through pool blocks instead of failing the session.
TEST(PipeStage, APipeThatCannotBeOpenedMakesTheStageFull) {
    tcp_pair tcp;
    ASSERT_EQ(::write(tcp.sender, "abc", 3), 3);
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    rlimit none = saved;
    none.rlim_cur = rlim_t(lowest_free); // no descriptor can be opened
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    pipe_stage staged(4);
    const ssize_t n = staged.fill_from(tcp.receiver, 3);
    const int error = errno;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, EAGAIN);
    EXPECT_TRUE(staged.full());
    EXPECT_EQ(staged.size(), 0u);
    pollfd p{tcp.receiver, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    char bytes[3];
    EXPECT_EQ(::read(tcp.receiver, bytes, 3), 3) << "the bytes are still in the socket";
}

// The room check keeps a pipe within its size by bytes, and lets a writer find a broken pipe.
TEST(PipeStage, APipesRoomIsItsSizeLessWhatItHoldsAndALeftPipeHasRoom) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
    const std::uint64_t size = pipe_capacity(ends[1]);
    ASSERT_GE(size, 4096u);
    EXPECT_EQ(pipe_room(ends[1], size), size);
    const std::string bytes(5000, 'x');
    ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), 5000);
    EXPECT_EQ(pipe_room(ends[1], size), size - 5000);
    EXPECT_EQ(pipe_room(ends[1], 5000), 0u) << "holding its limit, it has none";
    ::close(ends[0]);
    EXPECT_EQ(pipe_room(ends[1], 5000), 5000u) << "its reader left: the next write must fail";
    std::signal(SIGPIPE, SIG_IGN); // as the program does
    EXPECT_EQ(::write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(ends[1]);

    char name[] = "/tmp/pipe_stage_testXXXXXX";
    const int file = ::mkstemp(name);
    ASSERT_GE(file, 0);
    ::unlink(name);
    EXPECT_EQ(pipe_capacity(file), 0u) << "a file is not a pipe";
    ::close(file);
}
