#pragma once

#include "core/decimal.hpp"
#include "net/port_file.hpp"

#include <string>

namespace shuffler {

// Why `address` ("host:port", ":port" or "[v6 address]:port") cannot be used, or "" when it can.
// The port is a whole decimal from 1 to 65535, or 0 for a listener (the system picks one): a
// resolver would take "99999" modulo 65536, "" as 0 and "http" as a service name. The host is
// left to the resolver.
inline std::string address_problem(const std::string& address, bool listening) {
    std::string host, port;
    if (!split_address(address, host, port))
        return "expected host:port (\":port\" for localhost)";
    std::int64_t number = 0;
    const std::int64_t least = listening ? 0 : 1;
    if (parse_decimal(port, least, 65535, number) != decimal_status::ok)
        return "port '" + port + "' is not a decimal from " + std::to_string(least) +
               " to 65535";
    return {};
}

} // namespace shuffler
