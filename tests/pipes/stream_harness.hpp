#pragma once

#include "buffers/buffer_pool.hpp"
#include "buffers/sg_buffer_list.hpp"
#include "pipes/pipe_stream.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>

namespace shuffler_test {

// The pool is process-wide and can be created only once: its 64 blocks serve every test.
inline void ensure_pool() {
    static const bool created = (shuffler::the_buffer_pool.create(1), true);
    (void)created;
}

// Runs `body(io, yield)` as the only coroutine of a fresh event loop until the loop runs out of
// work; an exception that escapes the body fails the test.
template <class Body> void run_coroutine(Body body) {
    ensure_pool();
    boost::asio::io_context io;
    bool finished = false;
    boost::asio::spawn(io, [&](boost::asio::yield_context yield) {
        try {
            body(io, yield);
        } catch (const std::exception& e) { // not catch(...): the coroutine's unwinding must pass
            ADD_FAILURE() << "escaped the coroutine: " << e.what();
        }
        finished = true;
    });
    io.run();
    EXPECT_TRUE(finished) << "the coroutine was left suspended";
}

// Opens `stream` on the standard output of the shell command `command`.
inline void open_stream(shuffler::pipe_stream& stream, boost::asio::io_context& io,
                        const std::string& command, const std::string& name = "in") {
    stream.pipe = std::make_unique<shuffler::pipe_descriptor>(io);
    stream.pipe->open_command(command, "r");
    stream.name = name;
}

// Every byte `list` holds, in order.
inline std::string contents(const shuffler::sg_buffer_list& list) {
    std::string out;
    for (const shuffler::sg_buffer& b : list.blocks())
        out.append(b.data + b.begin, b.data + b.end);
    return out;
}

// The bytes the stream holds and has not handed out yet.
inline std::string unread(const shuffler::pipe_stream& stream) {
    return std::string(stream.cursor, stream.cursor + stream.available);
}

// What `call` throws: "eof" for end of input, "system error N" for other system errors, the
// text of any other error, or "" when it returns.
template <class Call> std::string thrown_by(Call call) {
    try {
        call();
    } catch (const boost::system::system_error& e) {
        return e.code().value() == 2 ? "eof" : "system error " + std::to_string(e.code().value());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

} // namespace shuffler_test
