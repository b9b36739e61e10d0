#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace shuffler {

// Calls `take(line, number)` for every line of the file at `path` (numbered from 1, without its
// line feed or a carriage return before it). Throws record_error "path: reason" when the file
// cannot be read; whatever `take` throws passes through.
void for_each_line(const std::string& path,
                   const std::function<void(std::string_view, std::uint32_t)>& take);

// Splits off the text before the first tab of `rest` (all of it when there is none) and leaves
// `rest` after that tab. Returns false when `rest` was already used up.
bool next_field(std::string_view& rest, std::string_view& field);

} // namespace shuffler
