#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace shuffler {

// The longest line for_each_line takes, without its line feed: far more than any interval or
// dictionary line needs, and a file with no line feeds cannot fill the memory.
constexpr std::size_t longest_line = std::size_t(1) << 16;

// Calls `take(line, number)` for every line of the regular file at `path` (numbered from 1,
// without its line feed or a carriage return before it). Throws record_error "path: reason"
// when the file cannot be read or is not a regular file (a FIFO could block or never end), and
// "path: line N: longer than 65536 bytes"; whatever `take` throws passes through.
void for_each_line(const std::string& path,
                   const std::function<void(std::string_view, std::uint32_t)>& take);

// Splits off the text before the first tab of `rest` (all of it when there is none) and leaves
// `rest` after that tab. Returns false when `rest` was already used up.
bool next_field(std::string_view& rest, std::string_view& field);

} // namespace shuffler
