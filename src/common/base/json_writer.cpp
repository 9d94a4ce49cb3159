#include "common/base/json_writer.h"

#include <cstdio>

namespace brimvale {

std::string jsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string withoutControlBytes(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20) out += static_cast<char>(c);
  }
  return out;
}

void JsonObjectWriter::key(std::string_view k) {
  if (style_ == Style::kPretty) {
    body_ += first_ ? "\n  " : ",\n  ";
  } else if (!first_) {
    body_ += ',';
  }
  first_ = false;
  body_ += '"';
  body_ += jsonEscape(k);
  body_ += style_ == Style::kPretty ? "\": " : "\":";
}

JsonObjectWriter& JsonObjectWriter::string(std::string_view k, std::string_view value) {
  key(k);
  body_ += '"';
  body_ += jsonEscape(value);
  body_ += '"';
  return *this;
}

JsonObjectWriter& JsonObjectWriter::number(std::string_view k, std::int64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::number(std::string_view k, std::uint64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::boolean(std::string_view k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObjectWriter& JsonObjectWriter::null(std::string_view k) {
  key(k);
  body_ += "null";
  return *this;
}

JsonObjectWriter& JsonObjectWriter::raw(std::string_view k, std::string_view json) {
  key(k);
  body_ += json;
  return *this;
}

std::string JsonObjectWriter::str() const {
  if (style_ == Style::kPretty) return "{" + body_ + (first_ ? "}\n" : "\n}\n");
  return "{" + body_ + "}";
}

bool isJsonNumber(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  if (i >= s.size()) return false;
  auto digit = [&](std::size_t j) { return j < s.size() && s[j] >= '0' && s[j] <= '9'; };
  if (s[i] == '0') {
    ++i;
  } else if (digit(i)) {
    while (digit(i)) ++i;
  } else {
    return false;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == s.size();
}

}  // namespace brimvale
