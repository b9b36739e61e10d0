#pragma once

#include "buffers/block_chain.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace shuffler {

// The 8-byte frame header of every message, and the handshake that names a group. Every field
// is little-endian on the wire; the check word makes (length mod 65535 + group + check) a
// multiple of 65535.
struct message_header {
    std::uint32_t length = 0; // payload bytes after the header (0 in a handshake)
    std::uint16_t group = 0;  // group of the message, or the group a handshake asks for
    std::uint16_t check = 0;  // check word
};
static_assert(sizeof(message_header) == 8, "the header is 8 bytes on the wire");

constexpr std::uint64_t header_size = sizeof(message_header);

std::uint16_t header_check_word(std::uint32_t length, std::uint16_t group, std::uint16_t previous);
bool header_is_valid(const message_header& h);
// A message of `group` with no payload. The protocol gives it three meanings, by its place on
// the connection: a worker's handshake (the first message it sends, asking for the group), the
// input side's end mark (after the group's last message) and a worker's acknowledgement.
message_header empty_message(std::uint16_t group);
inline message_header handshake_message(std::uint16_t group) { return empty_message(group); }
inline message_header end_mark_message(std::uint16_t group) { return empty_message(group); }
inline message_header acknowledgement_message(std::uint16_t group) { return empty_message(group); }

// The abort message: on a connection for group G, a message whose group is G's complement, with
// the reason as its payload. Every other message of the connection has group G, so it is never
// taken for data, and no group is reserved: a stored stream may hold any group.
inline std::uint16_t abort_group(std::uint16_t group) { return std::uint16_t(~group); }
// The longest reason an abort carries; a longer one is cut, a longer message is not an abort.
constexpr std::uint32_t abort_reason_limit = 1024;
// The bytes of the abort message for `group` with `reason`, cut to the limit.
std::string abort_message(std::uint16_t group, const std::string& reason);
// A received reason made safe for a one-line report: control characters become spaces.
std::string abort_reason_text(const char* data, std::size_t size);

// The wire is little-endian. Handshakes and acknowledgements go out as the struct itself, and a
// struct in memory is the wire's layout only on a little-endian host: refuse to build elsewhere.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "message headers are sent as they lie in memory: a little-endian host is required");

// Reads and writes a header's bytes in the wire's order, little-endian, field by field (on a
// little-endian host, a plain copy).
inline message_header load_header(const void* p) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    message_header h;
    h.length = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
               std::uint32_t(b[3]) << 24;
    h.group = std::uint16_t(b[4] | b[5] << 8);
    h.check = std::uint16_t(b[6] | b[7] << 8);
    return h;
}
inline void store_header(void* p, const message_header& h) {
    unsigned char* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(h.length >> (8 * i));
    b[4] = static_cast<unsigned char>(h.group);
    b[5] = static_cast<unsigned char>(h.group >> 8);
    b[6] = static_cast<unsigned char>(h.check);
    b[7] = static_cast<unsigned char>(h.check >> 8);
}

// Starts a message on an empty list: one block whose first 8 bytes are {0, group, 0}.
void open_message(block_chain& list, std::uint16_t group,
                  const boost::asio::yield_context& yield);
// open_message() on an empty list that already holds a block, never waiting.
void start_message(block_chain& list, std::uint16_t group);
// Sets length and check of the header that opens `list` from the bytes the list holds.
void close_message(block_chain& list);

} // namespace shuffler
