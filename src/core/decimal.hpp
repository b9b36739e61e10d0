#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>

namespace shuffler {

// What parse_decimal made of a text.
enum class decimal_status {
    ok,
    not_a_number, // anything but digits with an optional leading '-'
    out_of_range, // a number, but outside [min, max] (however many digits it has)
};

// Reads the whole of `text` as a base-10 integer within [min, max]. Spaces, a '+' sign, base
// prefixes and trailing characters are refused rather than skipped, and the range is checked
// before narrowing, so "4294967297" never becomes 1 and "010" is ten. `value` is set only on ok.
inline decimal_status parse_decimal(std::string_view text, std::int64_t min, std::int64_t max,
                                    std::int64_t& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    const char* digits = first != last && *first == '-' ? first + 1 : first;
    if (digits == last || *digits < '0' || *digits > '9')
        return decimal_status::not_a_number;
    std::int64_t parsed = 0;
    const auto [end, error] = std::from_chars(first, last, parsed);
    if (error == std::errc::result_out_of_range) {
        // Still a number if every character is a digit: just too long for 64 bits.
        for (const char* p = digits; p != last; ++p)
            if (*p < '0' || *p > '9')
                return decimal_status::not_a_number;
        return decimal_status::out_of_range;
    }
    if (error != std::errc() || end != last)
        return decimal_status::not_a_number;
    if (parsed < min || parsed > max)
        return decimal_status::out_of_range;
    value = parsed;
    return decimal_status::ok;
}

} // namespace shuffler
