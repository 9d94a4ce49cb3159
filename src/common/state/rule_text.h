// A rule string of the service configuration ("action | src | dest | age |
// extra"), split the same way by the service's rule run and the
// application's rule editor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale {

struct RuleText {
  std::string action;  // archive_old, archive_big, delete_old, app_cache_clean
  std::string src;
  std::string dest;
  std::string ageText;   // as written, trimmed
  std::string extra;     // everything after the fourth '|', trimmed
  std::int64_t age = 0;  // ageText as whole days; empty or non-numeric is 0
};

// Splits at the first four '|' and trims every field of blanks, tabs and
// line ends. Missing fields are empty.
[[nodiscard]] RuleText parseRuleText(std::string_view text);

// Digits only (no sign, no fraction, not empty) as a number; else nullopt.
[[nodiscard]] std::optional<std::int64_t> wholeNumber(std::string_view text);

}  // namespace brimvale
