// Tests only: the substring check that output assertions share.
#pragma once

#include <string_view>

namespace brimvale::testing {

// Whether `part` occurs anywhere in `text`.
inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace brimvale::testing
