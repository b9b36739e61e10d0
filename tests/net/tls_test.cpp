#include "net/tls.hpp"
#include "net/tls_socket.hpp"

#include "core/coroutine.hpp"
#include "core/offload.hpp"
#include "support/process.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <array>
#include <future>
#include <unistd.h>
#include <memory>
#include <sys/stat.h>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Two ends of a loopback TCP connection on one loop, each a TLS connection holding its secret
// (the server's is the accepted end). `client` and `server` run as
// coroutines once both are connected; the loop then runs until both are done (bounded: a hang
// fails, it does not block the suite).
template <class Client, class Server>
void over_tls(const std::string& client_secret, const std::string& server_secret, Client client,
              Server server) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket a(io), b(io);
    a.connect(acceptor.local_endpoint());
    acceptor.accept(b);
    auto client_end =
        std::make_shared<tls_socket>(std::move(a), std::make_shared<tls_settings>(client_secret));
    auto server_end =
        std::make_shared<tls_socket>(std::move(b), std::make_shared<tls_settings>(server_secret));
    spawn_coroutine(io, [&](const asio::yield_context& yield) { client(*client_end, yield); });
    spawn_coroutine(io, [&](const asio::yield_context& yield) { server(*server_end, yield); });
    io.run_for(std::chrono::seconds(120)); // a bound for a hang only
    EXPECT_TRUE(io.stopped()) << "the ends did not finish";
    io.stop();
}

struct handshake_outcome {
    boost::system::error_code client, server;
    std::string received; // what the server read after the handshake
};

// A TLS handshake between a client and a server holding these secrets, then a few bytes from the
// client to the server.
handshake_outcome connect_with(const std::string& client_secret, const std::string& server_secret) {
    handshake_outcome out;
    over_tls(
        client_secret, server_secret,
        [&](tls_socket& s, const asio::yield_context& yield) {
            if ((out.client = s.handshake(false, yield)))
                return s.lowest_layer().close();
            boost::system::error_code ec;
            asio::async_write(s, asio::buffer("hello", 5), yield[ec]);
        },
        [&](tls_socket& s, const asio::yield_context& yield) {
            if ((out.server = s.handshake(true, yield)))
                return s.lowest_layer().close();
            char got[5] = {};
            boost::system::error_code ec;
            const std::size_t n = asio::async_read(s, asio::buffer(got), yield[ec]);
            out.received.assign(got, n);
        });
    return out;
}

TEST(Tls, OnlyTheSameSecretCompletesTheHandshake) {
    const handshake_outcome same = connect_with("job secret", "job secret");
    EXPECT_FALSE(same.client) << same.client.message();
    EXPECT_FALSE(same.server) << same.server.message();
    EXPECT_EQ(same.received, "hello");
    const handshake_outcome different = connect_with("job secret", "job secreT");
    EXPECT_TRUE(different.client);
    EXPECT_TRUE(different.server);
    EXPECT_EQ(different.received, "");
}

// Bytes that tell their own position, so a lost, doubled or reordered span shows.
std::string numbered_bytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    return out;
}

// What a session does: one side writes messages of many spans (gathered from several buffers of
// odd sizes, larger than one encryption's span) while it reads the other's acknowledgements on the
// same connection; the other reads them into several buffers and acknowledges each.
TEST(Tls, LargeGatheredWritesAndConcurrentAcknowledgementsArriveUnchanged) {
    constexpr int messages = 6;
    const std::string data = numbered_bytes(3 * tls_socket::write_span + 12345, 7);
    std::string received;
    int acknowledged = 0;
    over_tls(
        "job secret", "job secret",
        [&](tls_socket& s, const asio::yield_context& yield) {
            ASSERT_FALSE(s.handshake(false, yield));
            bool reading = true;
            spawn_coroutine(yield, [&](const asio::yield_context& y) {
                std::array<char, 3> ack;
                boost::system::error_code ec;
                while (acknowledged < messages && !ec) {
                    asio::async_read(s, asio::buffer(ack), y[ec]);
                    acknowledged += !ec && std::string(ack.data(), 3) == "ack";
                }
                reading = false;
            });
            for (int m = 0; m < messages; ++m) {
                const std::array<asio::const_buffer, 3> spans = {
                    asio::buffer(data.data(), 16), asio::buffer(data.data() + 16, 700001),
                    asio::buffer(data.data() + 700017, data.size() - 700017)};
                asio::async_write(s, spans, yield);
            }
            while (reading) { // the acknowledgements come on the same connection
                asio::steady_timer pause(s.get_executor(), std::chrono::milliseconds(1));
                pause.async_wait(yield);
            }
        },
        [&](tls_socket& s, const asio::yield_context& yield) {
            ASSERT_FALSE(s.handshake(true, yield));
            std::string first(1000, '\0'), rest(data.size() - 1000, '\0');
            for (int m = 0; m < messages; ++m) {
                const std::array<asio::mutable_buffer, 2> into = {asio::buffer(first),
                                                                  asio::buffer(rest)};
                asio::async_read(s, into, yield);
                received += first + rest;
                asio::async_write(s, asio::buffer("ack", 3), yield);
            }
        });
    EXPECT_EQ(acknowledged, messages);
    ASSERT_EQ(received.size(), messages * data.size());
    for (int m = 0; m < messages; ++m)
        EXPECT_TRUE(received.compare(m * data.size(), data.size(), data) == 0) << "message " << m;
}

// A peer that closes its socket ends the stream after the last bytes it sent, whether or not TLS's
// own closing message came; bytes that are not TLS from the job's peer are refused, not given out.
TEST(Tls, ClosedStreamsEndAfterTheirLastBytesAndForeignBytesAreRefused) {
    const std::string data = numbered_bytes(100000, 3);
    std::string received;
    boost::system::error_code end;
    over_tls(
        "job secret", "job secret",
        [&](tls_socket& s, const asio::yield_context& yield) {
            ASSERT_FALSE(s.handshake(false, yield));
            asio::async_write(s, asio::buffer(data), yield);
            s.lowest_layer().close();
        },
        [&](tls_socket& s, const asio::yield_context& yield) {
            ASSERT_FALSE(s.handshake(true, yield));
            char chunk[4096];
            for (;;) {
                const std::size_t n = s.async_read_some(asio::buffer(chunk), yield[end]);
                if (end)
                    break;
                received.append(chunk, n);
            }
        });
    EXPECT_EQ(received, data);
    EXPECT_EQ(end, asio::error::eof) << end.message();

    boost::system::error_code refused;
    std::size_t given = 0;
    over_tls(
        "job secret", "job secret",
        [&](tls_socket& s, const asio::yield_context& yield) {
            ASSERT_FALSE(s.handshake(false, yield));
            // A record header and a body no key made, as an attacker on the path could send.
            std::string forged = "\x17\x03\x03\x00\x40" + std::string(64, 'x');
            asio::async_write(s.next_layer(), asio::buffer(forged), yield);
            char sink[16];
            boost::system::error_code ignored;
            s.next_layer().async_read_some(asio::buffer(sink), yield[ignored]);
        },
        [&](tls_socket& s, const asio::yield_context& yield) {
            ASSERT_FALSE(s.handshake(true, yield));
            char chunk[4096];
            given = s.async_read_some(asio::buffer(chunk), yield[refused]);
            s.lowest_layer().close();
        });
    EXPECT_TRUE(refused);
    EXPECT_NE(refused, asio::error::eof);
    EXPECT_EQ(given, 0u);
}

// Both ends of a connection after their handshake, on a loop that runs only when a test asks.
struct connected_pair {
    asio::io_context io;
    std::shared_ptr<tls_socket> client, server;
    connected_pair() {
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        tcp::socket a(io), b(io);
        a.connect(acceptor.local_endpoint());
        acceptor.accept(b);
        const auto settings = std::make_shared<tls_settings>("job secret");
        client = std::make_shared<tls_socket>(std::move(a), settings);
        server = std::make_shared<tls_socket>(std::move(b), settings);
        boost::system::error_code c, s;
        spawn_coroutine(io, [&](const asio::yield_context& yield) { c = client->handshake(false, yield); });
        spawn_coroutine(io, [&](const asio::yield_context& yield) { s = server->handshake(true, yield); });
        io.run_for(std::chrono::seconds(60));
        io.restart();
        EXPECT_FALSE(c || s) << c.message() << s.message();
    }

    // Keeps every helper thread of the loop busy until `release()`: work handed to them waits.
    struct held_threads {
        std::promise<void> gate;
        void release() { gate.set_value(); }
    };
    std::unique_ptr<held_threads> hold_helper_threads() {
        auto held = std::make_unique<held_threads>();
        const std::shared_future<void> open = held->gate.get_future().share();
        std::vector<std::future<void>> started;
        for (unsigned i = 0; i < helper_thread_count(); ++i) {
            auto begun = std::make_shared<std::promise<void>>();
            started.push_back(begun->get_future());
            asio::post(helper_threads(io), [open, begun] {
                begun->set_value();
                open.wait();
            });
        }
        for (auto& f : started)
            f.wait();
        return held;
    }
};

// The loop cannot see what the crypto threads are doing for it: teardown waits on the offload
// count, after which the completion is ready to run. A cancel or a close that comes while the
// bytes are with the crypto threads still ends the operation, as on a plain socket, where only
// the socket's own cancel would leave the read waiting for bytes that never come.
TEST(Tls, WorkOnTheCryptoThreadsIsCountedAndCancellable) {
    {
        connected_pair p;
        auto held = p.hold_helper_threads();
        const std::string data(1 << 20, 'x');
        bool done = false;
        asio::async_write(*p.client, asio::buffer(data),
                          [&](boost::system::error_code, std::size_t) { done = true; });
        EXPECT_EQ(p.io.poll(), 0u); // nothing the loop can run: the encryption waits
        held->release();
        offloads_of(p.io).wait_until_none();
        EXPECT_GT(p.io.poll(), 0u); // what the encryption resumes is ready, as teardown needs
        p.io.run_for(std::chrono::seconds(60));
        EXPECT_TRUE(done);
        EXPECT_FALSE(offloads_of(p.io).wait_until_none());
    }
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "closed" : "cancelled");
        connected_pair p;
        auto held = p.hold_helper_threads();
        char into[64];
        bool done = false;
        boost::system::error_code got;
        p.server->async_read_some(asio::buffer(into), [&](boost::system::error_code ec, std::size_t) {
            done = true;
            got = ec;
        });
        boost::system::error_code ignored;
        if (close)
            p.server->lowest_layer().close(ignored);
        else
            p.server->cancel(ignored);
        held->release();
        p.io.run_for(std::chrono::seconds(10)); // a bound for a hang only: the peer sends nothing
        EXPECT_TRUE(done);
        EXPECT_EQ(got, asio::error::operation_aborted) << got.message();
    }
}

// A forged record right behind good bytes: the good bytes are given, and the next read fails with
// what the forgery is, as it does when the forgery comes alone.
TEST(Tls, AFailureBehindGoodBytesIsTheNextReadsAndSaysWhatItIs) {
    const std::string forged = "\x17\x03\x03\x00\x40" + std::string(64, 'x');
    const auto read_after = [&](const std::string& good) {
        connected_pair p;
        boost::system::error_code ec;
        std::string got;
        spawn_coroutine(p.io, [&](const asio::yield_context& yield) {
            if (!good.empty())
                asio::async_write(*p.client, asio::buffer(good), yield);
            asio::async_write(p.client->next_layer(), asio::buffer(forged), yield);
            // Both in the server's socket before it reads, so one decryption meets both.
            p.server->lowest_layer().async_wait(tcp::socket::wait_read, yield);
            const std::size_t record = 5 + 1 + 16; // a record's header, its type and its tag
            const std::size_t sent = forged.size() + (good.empty() ? 0 : good.size() + record);
            while (p.server->lowest_layer().available() < sent)
                ::usleep(1000);
            char into[4096];
            for (;;) {
                const std::size_t n = p.server->async_read_some(asio::buffer(into), yield[ec]);
                if (ec)
                    break;
                got.append(into, n);
            }
        });
        p.io.run_for(std::chrono::seconds(60));
        return std::make_pair(got, ec);
    };
    const auto alone = read_after("");
    const auto behind = read_after("hello");
    EXPECT_EQ(alone.first, "");
    EXPECT_EQ(behind.first, "hello");
    EXPECT_TRUE(alone.second);
    EXPECT_EQ(behind.second, alone.second) << behind.second.message() << " / "
                                           << alone.second.message();
}

TEST(Tls, SecretsAreTrimmedRandomAndReadOnlyFromPrivateFiles) {
    EXPECT_EQ(trim_secret("abc \r\n\n"), "abc");
    EXPECT_EQ(trim_secret(" a b\t"), " a b");
    const std::string a = make_job_secret(), b = make_job_secret();
    EXPECT_EQ(a.size(), 64u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);

    const temp_dir dir;
    const std::string path = dir.file("job.secret");
    write_file(path, "s3cret s3cret s3cret\n");
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(read_secret_file(path), "s3cret s3cret s3cret");
    ::chmod(path.c_str(), 0400);
    EXPECT_EQ(read_secret_file(path), "s3cret s3cret s3cret");
    ::chmod(path.c_str(), 0620);
    EXPECT_THROW(read_secret_file(path), std::runtime_error);
    EXPECT_THROW(read_secret_file(dir.file("")), std::runtime_error); // a folder
}

TEST(Tls, ASecretFileHoldsAtLeastSixteenBytesAndIsNeverAFifo) {
    const temp_dir dir;
    const std::string path = dir.file("job.secret");
    write_file(path, "0123456789abcdef\n"); // 16 bytes: enough
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(read_secret_file(path), "0123456789abcdef");
    write_file(path, "0123456789abcde \n"); // 15 once trimmed
    try {
        read_secret_file(path);
        ADD_FAILURE() << "a 15-byte secret was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  path + ": a secret of 15 bytes is too short; write at least 16 bytes there, "
                         "such as `openssl rand -hex 32`");
    }
    // A FIFO nobody writes would hold the open for ever; it is refused at once.
    const std::string fifo = dir.file("fifo.secret");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(read_secret_file(fifo), std::runtime_error);
}

} // namespace
