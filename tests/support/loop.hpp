#pragma once

// One coroutine on an event loop, and the bytes of a list of blocks: what tests of the libraries
// and the fuzz targets share. Without GoogleTest.

#include "buffers/block_chain.hpp"
#include "core/coroutine.hpp"
#include "core/offload.hpp"

#include <boost/asio/io_context.hpp>

#include <string>

namespace shuffler_test {

// Runs `body(yield)` as the only coroutine of `io` until the loop runs out of work.
template <class Body> void run_coroutine(boost::asio::io_context& io, Body body) {
    shuffler::spawn_coroutine(io, [&](const boost::asio::yield_context& yield) { body(yield); });
    io.restart();
    io.run();
}

// While it lives, input is parsed on the loop's parser thread whatever the machine's cores.
struct parsing_off_the_loop {
    parsing_off_the_loop() { shuffler::offload_parsing_always(true); }
    ~parsing_off_the_loop() { shuffler::offload_parsing_always(false); }
    parsing_off_the_loop(const parsing_off_the_loop&) = delete;
    parsing_off_the_loop& operator=(const parsing_off_the_loop&) = delete;
};

// Every unconsumed byte of `list`, in order.
inline std::string contents(const shuffler::block_chain& list) {
    std::string out;
    for (const shuffler::block& b : list.blocks())
        out.append(b.data + b.begin, b.data + b.end);
    return out;
}

} // namespace shuffler_test
