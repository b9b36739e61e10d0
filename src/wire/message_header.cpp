#include "wire/message_header.hpp"

#include <stdexcept>

namespace shuffler {

std::uint16_t header_check_word(std::uint32_t length, std::uint16_t group, std::uint16_t previous) {
    const std::uint32_t sum = (std::uint32_t(previous) + group + length % 65535) % 65535;
    return std::uint16_t(~sum);
}

bool header_is_valid(const message_header& h) {
    return (h.length % 65535 + std::uint32_t(h.group) + h.check) % 65535 == 0;
}

message_header empty_message(std::uint16_t group) {
    message_header h;
    h.group = group;
    h.check = header_check_word(0, group, 0);
    return h;
}

std::string abort_message(std::uint16_t group, const std::string& reason) {
    const std::string text = reason.substr(0, abort_reason_limit);
    message_header h;
    h.length = std::uint32_t(text.size());
    h.group = abort_group(group);
    h.check = header_check_word(h.length, h.group, 0);
    std::string bytes(header_size, '\0');
    store_header(bytes.data(), h);
    return bytes + text;
}

std::string abort_reason_text(const char* data, std::size_t size) {
    std::string text(data, size);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return text;
}

void open_message(block_chain& list, std::uint16_t group,
                  const boost::asio::yield_context& yield) {
    list.reserve(header_size, yield);
    start_message(list, group);
}

void start_message(block_chain& list, std::uint16_t group) {
    block& first = list.blocks().front();
    message_header h;
    h.group = group;
    store_header(first.data + first.end, h);
    list.commit(header_size);
}

void close_message(block_chain& list) {
    block& first = list.blocks().front();
    char* at = first.data + first.begin;
    message_header h = load_header(at);
    const std::uint64_t length = list.size() - header_size;
    if (length > UINT32_MAX)
        throw std::runtime_error("Message too long");
    h.length = std::uint32_t(length);
    h.check = header_check_word(h.length, h.group, h.check);
    store_header(at, h);
}

} // namespace shuffler
