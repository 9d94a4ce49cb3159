// Hand-written JSON for the service's files: keys come out in the order they
// are added, so files keep the fixed key orders readers and tests rely on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brimvale {

// Escapes a string for a JSON string literal: backslash and double quote get a
// backslash; control bytes (0x00-0x1F) become \n, \t, \r, \b, \f or \u00XX so
// the result is always valid JSON. Other bytes (UTF-8 included) pass through.
[[nodiscard]] std::string jsonEscape(std::string_view text);

// `text` without its control bytes (0x00-0x1F), for the service files that
// promise plain one-line strings.
[[nodiscard]] std::string withoutControlBytes(std::string_view text);

// Builds one JSON object.
//   kCompact: {"a":1,"b":"x"}
//   kPretty:  "{\n  \"a\": 1,\n  \"b\": \"x\"\n}\n" (two spaces, one pair per line)
class JsonObjectWriter {
 public:
  enum class Style { kCompact, kPretty };
  explicit JsonObjectWriter(Style style = Style::kCompact) : style_(style) {}

  JsonObjectWriter& string(std::string_view key, std::string_view value);
  JsonObjectWriter& number(std::string_view key, std::int64_t value);
  JsonObjectWriter& number(std::string_view key, std::uint64_t value);
  JsonObjectWriter& number(std::string_view key, int value) {
    return number(key, static_cast<std::int64_t>(value));
  }
  JsonObjectWriter& boolean(std::string_view key, bool value);
  JsonObjectWriter& null(std::string_view key);
  // A value already in JSON form (a number as configured, a nested object).
  JsonObjectWriter& raw(std::string_view key, std::string_view json);

  // The finished object; kPretty ends with a newline, kCompact does not.
  [[nodiscard]] std::string str() const;

 private:
  void key(std::string_view key);
  Style style_;
  std::string body_;
  bool first_ = true;
};

// True when `text` is a JSON number as written in decimal (e.g. "40", "-3", "2.5").
[[nodiscard]] bool isJsonNumber(std::string_view text);

}  // namespace brimvale
