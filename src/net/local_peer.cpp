#include "net/local_peer.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace shuffler {

namespace ip = boost::asio::ip;

namespace {

// An IPv4-mapped address as IPv4, so that both lists compare alike.
ip::address plain(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

// "0100007F:1F90": the address as 32-bit words printed in host order, then the port.
bool parse_endpoint(const std::string& text, ip::tcp::endpoint& endpoint) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || (colon != 8 && colon != 32))
        return false;
    unsigned char bytes[16];
    for (std::size_t word = 0; word < colon / 8; ++word) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            const char c = text[word * 8 + i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value << 4 | std::uint32_t(digit);
        }
        std::memcpy(bytes + word * 4, &value, 4); // host order in memory: the network's bytes
    }
    unsigned port = 0;
    if (std::sscanf(text.c_str() + colon + 1, "%x", &port) != 1 || port > 65535)
        return false;
    ip::address address;
    if (colon == 8) {
        ip::address_v4::bytes_type v4;
        std::memcpy(v4.data(), bytes, 4);
        address = ip::address_v4(v4);
    } else {
        ip::address_v6::bytes_type v6;
        std::memcpy(v6.data(), bytes, 16);
        address = ip::address_v6(v6);
    }
    endpoint = ip::tcp::endpoint(plain(address), std::uint16_t(port));
    return true;
}

} // namespace

bool is_loopback(const ip::address& address) {
    return plain(address).is_loopback();
}

std::optional<uid_t> socket_owner(const ip::tcp::endpoint& own, const ip::tcp::endpoint& other) {
    const ip::tcp::endpoint want_own(plain(own.address()), own.port());
    const ip::tcp::endpoint want_other(plain(other.address()), other.port());
    for (const char* list : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(list);
        if (!in) {
            if (errno == ENOENT) // no IPv6 in this kernel
                continue;
            throw std::runtime_error(std::string("cannot read ") + list + ": " +
                                     std::strerror(errno));
        }
        std::string line;
        std::getline(in, line); // the column names
        while (std::getline(in, line)) {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits;
            unsigned long uid = 0;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                  uid))
                continue;
            ip::tcp::endpoint local_end, remote_end;
            if (!parse_endpoint(local, local_end) || local_end != want_own ||
                !parse_endpoint(remote, remote_end) || remote_end != want_other)
                continue;
            // A socket closed on both sides, or closed and left by its process, is listed in
            // TIME_WAIT (timer 3) with uid 0 whoever owned it: its owner is not known any more.
            if (timer.compare(0, 3, "03:") == 0)
                return std::nullopt;
            return uid_t(uid);
        }
    }
    return std::nullopt;
}

} // namespace shuffler
