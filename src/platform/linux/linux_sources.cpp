#include "platform/linux/linux_sources.h"

#include <charconv>

#include "common/base/text_formats.h"

namespace brimvale::platform {
namespace {

std::optional<std::uint64_t> toUnsigned(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::string_view withoutLineEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Removes shell-style quoting: '...' is literal; "..." and bare text honour
// backslash escapes.
std::string unquoteShellValue(std::string_view value) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        out += c;
      }
    } else if (c == '\\' && i + 1 < value.size()) {
      out += value[++i];
    } else if (quote == '"' && c == '"') {
      quote = 0;
    } else if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string decodeMountEscapes(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
        isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<std::string> parseMountPoints(std::string_view mountinfo) {
  std::vector<std::string> points;
  for (std::string_view line : splitLines(mountinfo)) {
    std::size_t pos = 0;
    std::string_view field;
    int index = 0;
    while (index < 5 && pos <= line.size()) {
      std::size_t end = line.find(' ', pos);
      if (end == std::string_view::npos) end = line.size();
      field = line.substr(pos, end - pos);
      pos = end + 1;
      ++index;
    }
    if (index == 5 && !field.empty()) points.push_back(decodeMountEscapes(field));
  }
  return points;
}

std::optional<std::uint64_t> parseXprintidleSeconds(std::string_view output) {
  auto ms = toUnsigned(trimBlanks(withoutLineEnd(output)));
  if (!ms) return std::nullopt;
  return *ms / 1000;
}

std::optional<std::uint64_t> parseLogindIdleSeconds(std::string_view output,
                                                    std::uint64_t nowMicros) {
  KeyValues values = parseKeyValues(output);
  if (findValue(values, "IdleHint") != "yes") return std::nullopt;
  auto since = findValue(values, "IdleSinceHint");
  if (!since) return std::nullopt;
  auto micros = toUnsigned(trimBlanks(*since));
  if (!micros || *micros == 0 || *micros > nowMicros) return std::nullopt;
  return (nowMicros - *micros) / 1'000'000u;
}

std::optional<std::uint64_t> parseUptimeSeconds(std::string_view uptime) {
  std::string_view text = trimBlanks(uptime);
  std::size_t end = text.find_first_not_of("0123456789");
  return toUnsigned(text.substr(0, end));
}

std::string parsePrettyHostname(std::string_view machineInfo) {
  static constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
  std::string name;
  for (std::string_view line : splitLines(machineInfo)) {
    std::string_view trimmed = trimBlanks(withoutLineEnd(line));
    if (trimmed.starts_with(kKey)) name = unquoteShellValue(trimmed.substr(kKey.size()));
  }
  return name;
}

std::string shortHostName(std::string_view hostName) {
  return std::string(hostName.substr(0, hostName.find('.')));
}

std::string programNameFromCmdline(std::string_view cmdline) {
  std::string_view argv0 = cmdline.substr(0, cmdline.find('\0'));
  std::size_t slash = argv0.rfind('/');
  return std::string(slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1));
}

}  // namespace brimvale::platform
