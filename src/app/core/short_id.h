// How the commands show a job, move or item id: its first eight characters,
// enough to tell ids apart and to be typed back as a prefix.
#pragma once

#include <string>
#include <string_view>

namespace brimvale::app {

[[nodiscard]] inline std::string shortId(std::string_view id) {
  return std::string(id.substr(0, 8));
}

}  // namespace brimvale::app
