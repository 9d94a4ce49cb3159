// Whether a text scrap stands for a web address, and which one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "junk/junk_item.h"

namespace brimvale::junk {

// Texts longer than this (in characters) are never links.
inline constexpr std::size_t kJunkLinkMaxChars = 2048;

// The text trimmed of blanks and newlines is a link when it is non-empty, at
// most 2048 characters, holds no space, tab or newline, and either is an
// http/https address whose host holds a dot (returned as it is) or begins
// with "www." (returned with "https://" in front). Anything else is nothing.
[[nodiscard]] std::optional<std::string> junkLinkOf(std::string_view text);

// The link of a text scrap; nothing for every other kind.
[[nodiscard]] std::optional<std::string> junkItemLink(const JunkItem& item);

}  // namespace brimvale::junk
