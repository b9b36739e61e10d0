#pragma once

#include "buffers/sg_buffer_list.hpp"

#include <cstdint>
#include <cstring>

namespace shuffler {

// The 8-byte frame header of every message, and the handshake that names a group. Stored in the
// host's little-endian order; the check word makes (length mod 65535 + group + check) a multiple
// of 65535.
struct message_header {
    std::uint32_t length = 0; // payload bytes after the header (0 in a handshake)
    std::uint16_t group = 0;  // group of the message, or the group a handshake asks for
    std::uint16_t check = 0;  // check word
};
static_assert(sizeof(message_header) == 8, "the header is 8 bytes on the wire");

constexpr std::uint64_t header_size = sizeof(message_header);

std::uint16_t header_check_word(std::uint32_t length, std::uint16_t group, std::uint16_t previous);
bool header_is_valid(const message_header& h);
message_header make_handshake(std::uint16_t group);

inline message_header load_header(const void* p) {
    message_header h;
    std::memcpy(&h, p, sizeof h);
    return h;
}
inline void store_header(void* p, const message_header& h) { std::memcpy(p, &h, sizeof h); }

// Starts a message on an empty list: one block whose first 8 bytes are {0, group, 0}.
void open_message(sg_buffer_list& list, std::uint16_t group,
                  const boost::asio::yield_context& yield);
// Sets length and check of the header that opens `list` from the bytes the list holds.
void close_message(sg_buffer_list& list);

} // namespace shuffler
