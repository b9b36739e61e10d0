#pragma once

// What every fuzz target shares: the pool, the event loop, feeding a fuzzer input through a real
// pipe to a reader, and the check that stops the fuzzer when a promise is broken.

#include "buffers/buffer_pool.hpp"
#include "buffers/block_chain.hpp"
#include "io/record_reader.hpp"
#include "support/loop.hpp"

#include <boost/asio/io_context.hpp>
#include "core/coroutine.hpp"
#include <boost/system/system_error.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace shuffler_fuzz {

// A broken promise: says which, and aborts so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? (void)0 : ::shuffler_fuzz::check_failed(#condition, __FILE__, __LINE__))
[[noreturn]] void check_failed(const char* condition, const char* file, int line);

// One pool of 64 blocks for the whole fuzzing process; every input must give back what it took.
shuffler::buffer_pool& fuzz_pool();

// The fuzzer input as bytes in a pipe, followed by its end: what the readers meet in real use.
// Input that fits the pipe is written at once; more is written by a thread while it is read.
class byte_pipe {
public:
    byte_pipe(const std::uint8_t* data, std::size_t size);
    byte_pipe(const byte_pipe&) = delete;
    byte_pipe& operator=(const byte_pipe&) = delete;
    // Joins the writer: the reading end must be closed first, or everything must have been read.
    ~byte_pipe();
    // The reading end, handed over to the caller.
    int take_reader();

private:
    int reader_ = -1;
    std::thread writer_;
};

// A reader on a pipe's reading end, as the input named `name`, with nothing read yet.
std::unique_ptr<shuffler::record_reader> open_reader(boost::asio::io_context& io, int fd,
                                                     const std::string& name);

using shuffler_test::contents;      // every unconsumed byte of a list
using shuffler_test::run_coroutine; // one coroutine on a loop until it runs out of work

// How a read ended: "" for the normal end of input, else the error's text.
template <class Call> std::string outcome_of(Call call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::eof)
            return "";
        return e.what();
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
    check_failed("the call must end by an exception", __FILE__, __LINE__);
}

// The input as text, with the line feed the readers give a last line that lacks one.
std::string with_final_line_feed(const std::uint8_t* data, std::size_t size);

} // namespace shuffler_fuzz
