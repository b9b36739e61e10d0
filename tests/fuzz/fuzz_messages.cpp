// The framed-message reader over a byte stream. The messages it returns are exactly the input's
// leading whole frames with valid headers; it stops with the error a plain reading of the frames
// gives (bad header, a length no pool could hold, a stream ending inside a message), or at the
// normal end when the input ends on a frame boundary.

#include "fuzz/fuzz_support.hpp"
#include "io/endpoint.hpp"
#include "wire/read_message.hpp"

#include <string>
#include <vector>

using namespace shuffler;
using namespace shuffler_fuzz;

namespace {

// A plain reading of the frames: the whole ones, and how the reading ends ("" at the end).
std::string reference_frames(const std::string& in, std::uint64_t capacity,
                             std::vector<std::string>& frames) {
    std::size_t at = 0;
    while (at < in.size()) {
        if (in.size() - at < header_size)
            return "error: stream ended inside a message";
        const message_header h = load_header(in.data() + at);
        if (!header_is_valid(h))
            return "error: Bad message header";
        if (h.length > 0 && header_size + h.length > capacity)
            return "error: Message too long";
        if (in.size() - at - header_size < h.length)
            return "error: stream ended inside a message";
        frames.push_back(in.substr(at, header_size + h.length));
        at += header_size + h.length;
    }
    return "";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static boost::asio::io_context io;
    byte_pipe bytes(data, size);
    endpoint pipe(io);
    pipe.descriptor.assign(bytes.take_reader());
    std::vector<std::string> frames;
    std::string outcome;
    run_coroutine(io, [&](const boost::asio::yield_context& yield) {
        block_chain list(fuzz_pool());
        outcome = outcome_of([&] {
            for (;;) {
                list.release();
                read_message(pipe.descriptor, list, yield);
                frames.push_back(contents(list));
            }
        });
    });
    pipe.close();

    std::vector<std::string> expected;
    const std::string expected_outcome = reference_frames(
        std::string(reinterpret_cast<const char*>(data), size), fuzz_pool().total_capacity(),
        expected);
    // The refusal of a message too long for the pool goes on to say how large it was.
    FUZZ_CHECK(outcome == expected_outcome ||
               (expected_outcome == "error: Message too long" &&
                outcome.rfind(expected_outcome + ": ", 0) == 0));
    FUZZ_CHECK(frames == expected);
    return 0;
}
