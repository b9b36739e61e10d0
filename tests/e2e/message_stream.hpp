#pragma once

#include "net/message_header.hpp"

#include <cstdint>
#include <map>
#include <string>

// Including this brings in namespace shuffler: write the tests inside namespace shuffler_test,
// where `shuffler(...)` (the command line) stays unambiguous. Link shuffler_wire and
// shuffler_report (the program's assertion handler).
namespace shuffler_test {

// The 8 header bytes {length, group, check}, written byte by byte in little-endian order so the
// tests do not share the program's idea of the layout.
inline std::string header_bytes(std::uint32_t length, std::uint16_t group, std::uint16_t check) {
    std::string h;
    for (int i = 0; i < 4; ++i)
        h += char((length >> (8 * i)) & 0xff);
    h += char(group & 0xff);
    h += char(group >> 8);
    h += char(check & 0xff);
    h += char(check >> 8);
    return h;
}

// A header the program accepts, its check word from the program's own rule.
inline std::string valid_header(std::uint32_t length, std::uint16_t group) {
    return header_bytes(length, group, shuffler::header_check_word(length, group, 0));
}

// What an output-side process sends first to ask for `group`.
inline std::string handshake_bytes(std::uint16_t group) { return valid_header(0, group); }

// One whole framed message.
inline std::string frame(std::uint16_t group, const std::string& payload) {
    return valid_header(std::uint32_t(payload.size()), group) + payload;
}

// A stored message stream under construction, remembering what each group should receive.
class message_stream {
public:
    // Appends a valid message; an empty payload makes a header-only message.
    message_stream& add(std::uint16_t group, const std::string& payload) {
        bytes_ += frame(group, payload);
        payloads_[group] += payload;
        return *this;
    }
    // Appends bytes as they are, valid or not; they count for no group.
    message_stream& raw(const std::string& bytes) {
        bytes_ += bytes;
        return *this;
    }

    const std::string& bytes() const { return bytes_; }
    // The concatenated payloads of `group`'s messages, in stream order.
    std::string payloads(std::uint16_t group) const {
        const auto it = payloads_.find(group);
        return it == payloads_.end() ? std::string() : it->second;
    }

private:
    std::string bytes_;
    std::map<std::uint16_t, std::string> payloads_;
};

} // namespace shuffler_test
