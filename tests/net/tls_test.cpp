#include "net/tls.hpp"

#include "support/process.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace shuffler;
using namespace shuffler_test;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

struct handshake_outcome {
    boost::system::error_code client, server;
    std::string received; // what the server read after the handshake
};

// A TLS handshake over loopback between a client and a server holding these secrets, then a few
// bytes from the client to the server.
handshake_outcome connect_with(const std::string& client_secret, const std::string& server_secret) {
    asio::io_context io;
    tls_settings client_settings(client_secret), server_settings(server_secret);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    asio::ssl::stream<tcp::socket> client(io, client_settings.context());
    asio::ssl::stream<tcp::socket> server(io, server_settings.context());
    handshake_outcome out;
    char got[5] = {};
    acceptor.async_accept(server.next_layer(), [&](boost::system::error_code ec) {
        if (ec)
            return void(out.server = ec);
        server.async_handshake(asio::ssl::stream_base::server, [&](boost::system::error_code e) {
            out.server = e;
            if (e) {
                server.next_layer().close();
                return;
            }
            asio::async_read(server, asio::buffer(got),
                             [&](boost::system::error_code, std::size_t n) {
                                 out.received.assign(got, n);
                             });
        });
    });
    client.next_layer().async_connect(acceptor.local_endpoint(), [&](boost::system::error_code ec) {
        if (ec)
            return void(out.client = ec);
        client.async_handshake(asio::ssl::stream_base::client, [&](boost::system::error_code e) {
            out.client = e;
            if (e) {
                client.next_layer().close();
                return;
            }
            asio::async_write(client, asio::buffer("hello", 5),
                              [&](boost::system::error_code, std::size_t) {});
        });
    });
    io.run_for(std::chrono::seconds(60)); // a bound for a hang only
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
