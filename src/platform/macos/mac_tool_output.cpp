#include "platform/macos/mac_tool_output.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "common/base/text_formats.h"

namespace brimvale::platform {
namespace {

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<std::uint64_t> unsignedOf(std::string_view digits) {
  if (!allDigits(digits)) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// The first "{digits} Bytes" pair in `text`. diskutil writes the count both
// bare ("110,343,344,128 Bytes") and parenthesised ("(105234567168 Bytes)").
std::optional<std::uint64_t> firstByteCount(std::string_view text) {
  std::vector<std::string_view> fields = splitFields(text, " \t");
  for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
    std::string digits;
    std::string_view field = fields[i];
    if (field.starts_with('(')) field.remove_prefix(1);
    for (char c : field) {
      if (c != ',') digits += c;
    }
    if (!allDigits(digits) || !fields[i + 1].starts_with("Bytes")) continue;
    if (auto value = unsignedOf(digits)) return value;
  }
  return std::nullopt;
}

// Position just after "Important", optional blanks and '=' or ':'.
std::optional<std::size_t> afterImportantLabel(std::string_view line) {
  static constexpr std::string_view kWord = "Important";
  for (std::size_t at = line.find(kWord); at != std::string_view::npos;
       at = line.find(kWord, at + 1)) {
    std::size_t pos = at + kWord.size();
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos < line.size() && (line[pos] == '=' || line[pos] == ':')) return pos + 1;
  }
  return std::nullopt;
}

// A new "Label Words:" line ends the available-space section.
bool isLabelLine(std::string_view trimmed) {
  if (trimmed.empty() || trimmed[0] < 'A' || trimmed[0] > 'Z') return false;
  for (char c : trimmed.substr(1)) {
    if (c == ':') return true;
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && c != ' ' && c != '\t') return false;
  }
  return false;
}

}  // namespace

std::optional<std::uint64_t> parseDiskutilFreeBytes(std::string_view output) {
  static constexpr std::string_view kOpening = "Volume Available Space:";
  bool open = false;
  std::optional<std::uint64_t> topLine;
  std::optional<std::uint64_t> important;
  for (std::string_view line : splitLines(output)) {
    std::string_view trimmed = trimBlanks(line);
    bool opening = trimmed.starts_with(kOpening);
    if (opening) {
      open = true;
      if (!topLine) topLine = firstByteCount(trimmed.substr(kOpening.size()));
    } else if (open && isLabelLine(trimmed) && !afterImportantLabel(trimmed)) {
      open = false;
    }
    if (!open || important) continue;
    if (auto pos = afterImportantLabel(trimmed)) important = firstByteCount(trimmed.substr(*pos));
  }
  return important ? important : topLine;
}

std::optional<DfKilobytes> parseDfKilobytes(std::string_view output) {
  std::vector<std::string_view> lines = splitLines(output);
  if (lines.size() < 2) return std::nullopt;
  std::vector<std::string_view> fields = splitFields(lines[1], " \t");
  // The figures are read relative to the "Capacity" column ("57%"), so a
  // file-system name with blanks ("map auto_home") does not shift them.
  std::size_t first = 1;
  for (std::size_t i = 4; i < fields.size(); ++i) {
    std::string_view f = fields[i];
    if (f.size() > 1 && f.back() == '%' && allDigits(f.substr(0, f.size() - 1))) {
      first = i - 3;
      break;
    }
  }
  if (fields.size() < first + 3) return std::nullopt;
  auto total = unsignedOf(fields[first]);
  auto available = unsignedOf(fields[first + 2]);
  if (!total || !available) return std::nullopt;
  return DfKilobytes{*total, *available};
}

bool mountOutputHasMountPoint(std::string_view output, std::string_view path) {
  std::string suffix = " on ";
  suffix += path;
  for (std::string_view line : splitLines(output)) {
    // "{device} on {mount point} ({type}, {options})": the mount point ends
    // where the last " (" starts, so "/Volumes/NVMe Backup" is not taken for
    // "/Volumes/NVMe".
    std::size_t options = line.rfind(" (");
    std::string_view head = options == std::string_view::npos ? line : line.substr(0, options);
    if (head.ends_with(suffix)) return true;
  }
  return false;
}

std::uint64_t parseHidIdleSeconds(std::string_view output) {
  for (std::string_view line : splitLines(output)) {
    if (line.find("HIDIdleTime") == std::string_view::npos) continue;
    std::vector<std::string_view> fields = splitFields(line, " \t");
    auto nanoseconds = unsignedOf(fields.back());
    return nanoseconds ? *nanoseconds / 1'000'000'000u : 0;
  }
  return 0;
}

bool pmsetOnBattery(std::string_view output) {
  return output.find("Battery Power") != std::string_view::npos;
}

int parsePmsetBatteryPercent(std::string_view output) {
  for (std::string_view line : splitLines(output)) {
    if (line.find("InternalBattery") == std::string_view::npos) continue;
    for (std::string_view field : splitFields(line, " \t;")) {
      if (field.size() < 2 || field.back() != '%') continue;
      auto percent = unsignedOf(field.substr(0, field.size() - 1));
      if (percent) return static_cast<int>(std::min<std::uint64_t>(*percent, 100));
    }
    break;
  }
  return 100;
}

std::string appleScriptEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string notificationScript(std::string_view title, std::string_view body,
                               std::string_view sound) {
  return "display notification \"" + appleScriptEscaped(body) + "\" with title \"" +
         appleScriptEscaped(title) + "\" sound name \"" + appleScriptEscaped(sound) + "\"";
}

std::string withoutTrailingNewlines(std::string_view output) {
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) {
    output.remove_suffix(1);
  }
  return std::string(output);
}

std::string parseDiskutilVolumeUuid(std::string_view output) {
  constexpr std::string_view kLabel = "Volume UUID:";
  for (std::string_view line : splitLines(output)) {
    std::string_view text = trimBlanks(line);
    if (!text.starts_with(kLabel)) continue;
    return std::string(trimBlanks(withoutTrailingNewlines(text.substr(kLabel.size()))));
  }
  return {};
}

bool statFlagsIncludeDataless(std::string_view output) {
  const std::string flags = withoutTrailingNewlines(output);
  std::string_view text = trimBlanks(flags);
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    if (trimBlanks(text.substr(0, comma)) == "dataless") return true;
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace brimvale::platform
