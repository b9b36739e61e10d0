#pragma once

#include <map>
#include <string>

namespace shuffler {

// The -O key[=value] settings of the distribution routines, by key.
using option_map = std::map<std::string, std::string>;

} // namespace shuffler
