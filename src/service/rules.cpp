#include "service/rules.h"

#include <charconv>
#include <optional>

namespace brimvale::service {
namespace {

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// A whole number of digits only; anything else (sign, fraction, words) is nullopt.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
  std::int64_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

Rule parseRule(std::string_view text) {
  std::string fields[5];
  for (int i = 0; i < 4; ++i) {
    const std::size_t bar = text.find('|');
    fields[i] = trimmed(text.substr(0, bar));
    text = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);
  }
  fields[4] = trimmed(text);
  Rule rule{fields[0], fields[1], fields[2], fields[3], fields[4]};
  rule.age = wholeNumber(rule.ageText).value_or(0);
  return rule;
}

std::int64_t archiveBigMiB(const Rule& rule) { return wholeNumber(rule.extra).value_or(500); }

FlooredAge applyAgeFloors(const Rule& rule, const ServiceConfig& cfg) {
  FlooredAge out{rule.age, {}};
  const std::string label = "rule '" + rule.action + " " + rule.src + "' age ";
  const std::int64_t hard = cfg.getInt("MIN_AGE_HARD_FLOOR_DAYS");
  if (out.age < hard) {
    out.notices.push_back(label + std::to_string(out.age) + " < hard floor; clamping to " +
                          std::to_string(hard));
    out.age = hard;
  }
  std::string_view key;
  if (rule.action == "archive_old" || rule.action == "archive_big") key = "MIN_ARCHIVE_DAYS";
  if (rule.action == "delete_old") key = "MIN_DELETE_DAYS";
  if (!key.empty()) {
    const std::int64_t global = cfg.getInt(key);
    if (global > out.age) {
      out.notices.push_back(label + std::to_string(out.age) + " raised to " + std::string(key) +
                            "=" + std::to_string(global));
      out.age = global;
    }
  }
  return out;
}

}  // namespace brimvale::service
