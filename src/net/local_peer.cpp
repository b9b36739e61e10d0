#include "net/local_peer.hpp"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

// What the kernel's socket diagnostics say of the TCP socket `own` -> `other` (one exact lookup,
// where the lists below are read whole for every connection): its owner, nothing when it is
// gone or in TIME_WAIT, or `unknown` when the lookup itself cannot be made.
enum class lookup { found, gone, unknown };
lookup ask_sock_diag(const ip::tcp::endpoint& own, const ip::tcp::endpoint& other, int family,
                     uid_t& owner) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return lookup::unknown;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query = {};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = std::uint8_t(family);
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    inet_diag_sockid& id = query.request.id;
    id.idiag_sport = htons(own.port());
    id.idiag_dport = htons(other.port());
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const auto put = [family](const ip::address& address, __be32* words) {
        if (family == AF_INET) {
            const auto bytes = address.to_v4().to_bytes();
            std::memcpy(words, bytes.data(), bytes.size());
        } else {
            const auto bytes = (address.is_v4() ? ip::make_address_v6(ip::v4_mapped,
                                                                      address.to_v4())
                                                : address.to_v6())
                                   .to_bytes();
            std::memcpy(words, bytes.data(), bytes.size());
        }
    };
    put(own.address(), id.idiag_src);
    put(other.address(), id.idiag_dst);
    lookup result = lookup::unknown;
    alignas(nlmsghdr) char reply[8192];
    if (::send(fd, &query, sizeof query, 0) == ssize_t(sizeof query)) {
        const ssize_t got = ::recv(fd, reply, sizeof reply, 0);
        const auto* h = reinterpret_cast<const nlmsghdr*>(reply);
        if (got >= ssize_t(sizeof(nlmsghdr)) && NLMSG_OK(h, std::uint32_t(got))) {
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error == -ENOENT)
                    result = lookup::gone;
            } else if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                       h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
                if (found->idiag_state == TCP_TIME_WAIT) {
                    result = lookup::gone; // listed as root's: its owner is not known any more
                } else {
                    owner = uid_t(found->idiag_uid);
                    result = lookup::found;
                }
            }
        }
    }
    ::close(fd);
    return result;
}

} // namespace

bool is_loopback(const ip::address& address) {
    return plain(address).is_loopback();
}

std::optional<uid_t> socket_owner(const ip::tcp::endpoint& own, const ip::tcp::endpoint& other) {
    const ip::tcp::endpoint want_own(plain(own.address()), own.port());
    const ip::tcp::endpoint want_other(plain(other.address()), other.port());
    // An IPv4 connection may be held by an IPv6 socket (one listening on [::]) as mapped
    // addresses: both families are asked. The lists below answer where the lookup cannot be made.
    bool asked = true;
    for (const int family : {AF_INET, AF_INET6}) {
        if (family == AF_INET && !want_own.address().is_v4())
            continue;
        uid_t owner = 0;
        const lookup answer = ask_sock_diag(want_own, want_other, family, owner);
        if (answer == lookup::found)
            return owner;
        asked = asked && answer == lookup::gone;
    }
    if (asked)
        return std::nullopt;
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
