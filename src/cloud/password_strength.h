// The strength meter under every secret field: a score from 0 to 4 with its
// label, colour and advice. A newly typed secret needs 2 ("Fair") to be saved.
#pragma once

#include <optional>
#include <string_view>

namespace brimvale::cloud {

inline constexpr int kMinimumAcceptedStrength = 2;

// 0 for an empty or well-known password; otherwise length sets the base
// (under 8: 0, 8-11: 1, 12-15: 2, 16+: 3), each character class present adds
// a half, and a run of three equal characters, a keyboard walk and a year
// ("19xx"/"20xx") each take one away. Rounded down, kept within 0-4.
[[nodiscard]] int passwordStrength(std::string_view text);

// What to do about it; nothing at 4.
[[nodiscard]] std::optional<std::string_view> strengthAdvice(int score);

}  // namespace brimvale::cloud
