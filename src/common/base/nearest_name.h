// Suggestions for a mistyped name: how far two names are apart, and the
// known name a typo most likely meant.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace brimvale {

// Single-letter insertions, deletions and substitutions that turn `a` into `b`.
[[nodiscard]] std::size_t editDistance(std::string_view a, std::string_view b);

// The name in `known` closest to `typed`, when it is close enough to be what
// was meant (a third of the letters, and at least two, may differ); nothing
// for a word unlike any of them.
[[nodiscard]] std::optional<std::string_view> nearestName(std::string_view typed,
                                                          std::span<const std::string_view> known);

}  // namespace brimvale
