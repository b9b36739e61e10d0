#include "net/local_peer.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace shuffler;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

TEST(LocalPeer, LoopbackIsEveryFormOfIt) {
    EXPECT_TRUE(is_loopback(asio::ip::make_address("127.0.0.1")));
    EXPECT_TRUE(is_loopback(asio::ip::make_address("127.3.2.1")));
    EXPECT_TRUE(is_loopback(asio::ip::make_address("::1")));
    EXPECT_TRUE(is_loopback(asio::ip::make_address("::ffff:127.0.0.1")));
    EXPECT_FALSE(is_loopback(asio::ip::make_address("0.0.0.0")));
    EXPECT_FALSE(is_loopback(asio::ip::make_address("::")));
    EXPECT_FALSE(is_loopback(asio::ip::make_address("10.0.0.1")));
    EXPECT_FALSE(is_loopback(asio::ip::make_address("::ffff:10.0.0.1")));
}

// Both ends of a loopback connection of this process are found, as this user's, over IPv4 and
// IPv6 (where the machine has it), and a connection that does not exist is not.
TEST(LocalPeer, BothEndsOfALoopbackConnectionAreFoundAsOurs) {
    for (const char* address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        asio::io_context io;
        tcp::acceptor acceptor(io);
        boost::system::error_code ec;
        acceptor.open(asio::ip::make_address(address).is_v6() ? tcp::v6() : tcp::v4(), ec);
        if (!ec)
            acceptor.bind({asio::ip::make_address(address), 0}, ec);
        if (ec) {
            EXPECT_STREQ(address, "::1") << ec.message();
            continue; // no IPv6 here
        }
        acceptor.listen();
        tcp::socket client(io), server(io);
        client.connect(acceptor.local_endpoint());
        acceptor.accept(server);
        // Seen from the server: the client's socket; from the client: the server's.
        EXPECT_EQ(socket_owner(server.remote_endpoint(), server.local_endpoint()), ::geteuid());
        EXPECT_EQ(socket_owner(client.remote_endpoint(), client.local_endpoint()), ::geteuid());
        const tcp::endpoint nowhere(asio::ip::make_address(address), 1);
        EXPECT_EQ(socket_owner(nowhere, server.local_endpoint()), std::nullopt);
    }
}

} // namespace
