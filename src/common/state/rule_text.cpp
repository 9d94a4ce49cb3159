#include "common/state/rule_text.h"

#include <charconv>

#include "common/base/text_formats.h"

namespace brimvale {

std::optional<std::int64_t> wholeNumber(std::string_view text) {
  std::int64_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

RuleText parseRuleText(std::string_view text) {
  std::string fields[5];
  for (int i = 0; i < 4; ++i) {
    const std::size_t bar = text.find('|');
    fields[i] = trimmed(text.substr(0, bar));
    text = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);
  }
  fields[4] = trimmed(text);
  RuleText rule{fields[0], fields[1], fields[2], fields[3], fields[4]};
  rule.age = wholeNumber(rule.ageText).value_or(0);
  return rule;
}

}  // namespace brimvale
