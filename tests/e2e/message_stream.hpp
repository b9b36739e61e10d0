#pragma once

#include "wire/message_header.hpp"

#include <cstdint>
#include <map>
#include <string>

// Brings in namespace shuffler: tests using it live in namespace shuffler_test, where
// `shuffler(...)` stays the command line. Link shuffler_wire and shuffler_report.
namespace shuffler_test {

// The 8 header bytes {length, group, check}, little-endian byte by byte, so the tests do not
// share the program's idea of the layout.
inline std::string header_bytes(std::uint32_t length, std::uint16_t group, std::uint16_t check) {
    std::string h;
    for (int i = 0; i < 4; ++i)
        h += char(length >> (8 * i));
    return h + char(group) + char(group >> 8) + char(check) + char(check >> 8);
}

inline std::string valid_header(std::uint32_t length, std::uint16_t group) {
    return header_bytes(length, group, shuffler::header_check_word(length, group, 0));
}

inline std::string frame(std::uint16_t group, const std::string& payload) {
    return valid_header(std::uint32_t(payload.size()), group) + payload;
}

// A stored message stream, remembering what each group should receive.
class message_stream {
public:
    message_stream& add(std::uint16_t group, const std::string& payload) {
        bytes_ += frame(group, payload);
        payloads_[group] += payload;
        return *this;
    }
    const std::string& bytes() const { return bytes_; }
    std::string payloads(std::uint16_t group) const {
        const auto it = payloads_.find(group);
        return it == payloads_.end() ? std::string() : it->second;
    }

private:
    std::string bytes_;
    std::map<std::uint16_t, std::string> payloads_;
};

} // namespace shuffler_test
