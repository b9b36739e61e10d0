#pragma once

#include <boost/system/error_code.hpp>

#include <cstddef>
#include <limits>

namespace shuffler {

// Completion conditions for Asio's composed reads and writes. The stock ones cap every system
// call at 64 KiB; these let one call move all that the buffers offer, so a 4 MiB block crosses a
// socket or a widened pipe in a few calls instead of sixty-four.

constexpr std::size_t unlimited_step = std::numeric_limits<std::size_t>::max();

// Complete when every byte of the buffers has been transferred.
struct transfer_all_at_once {
    std::size_t operator()(const boost::system::error_code& ec, std::size_t) const {
        return ec ? 0 : unlimited_step;
    }
};

// Complete after exactly `size` bytes.
struct transfer_exactly_at_once {
    std::size_t size;
    std::size_t operator()(const boost::system::error_code& ec, std::size_t done) const {
        return ec || done >= size ? 0 : size - done;
    }
};

// Complete once at least `minimum` bytes have arrived.
struct transfer_at_least_at_once {
    std::size_t minimum;
    std::size_t operator()(const boost::system::error_code& ec, std::size_t done) const {
        return ec || done >= minimum ? 0 : unlimited_step;
    }
};

} // namespace shuffler
