#include "common/state/preferences_writer.h"

#include <map>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"

namespace brimvale {
namespace {

constexpr std::string_view kHeader = "# --- Set by the Preferences window ---";

bool isBareSafe(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_';
}

bool isShellName(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    if (!isBareSafe(c) || c == '.') return false;
  }
  return true;
}

// Both the writer and the reader match "export KEY=..." as KEY.
std::string_view withoutExport(std::string_view trimmedLine) {
  constexpr std::string_view kExport = "export";
  if (trimmedLine.starts_with(kExport) && trimmedLine.size() > kExport.size() &&
      (trimmedLine[kExport.size()] == ' ' || trimmedLine[kExport.size()] == '\t')) {
    return trimBlanks(trimmedLine.substr(kExport.size()));
  }
  return trimmedLine;
}

// The key of an assignment line, or empty for comments, blanks and lines without '='.
std::string_view lineKey(std::string_view line) {
  std::string_view trimmed = trimBlanks(line);
  if (trimmed.empty() || trimmed.front() == '#') return {};
  trimmed = withoutExport(trimmed);
  std::size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return {};
  return trimBlanks(trimmed.substr(0, eq));
}

std::vector<std::string> splitAtNewlines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::size_t start = 0;
  while (true) {
    std::size_t nl = text.find('\n', start);
    lines.emplace_back(text.substr(start, nl == std::string_view::npos ? nl : nl - start));
    if (nl == std::string_view::npos) return lines;
    start = nl + 1;
  }
}

std::string decodeSingleQuoted(std::string_view inner) {
  std::string out;
  constexpr std::string_view kQuotedApostrophe = "'\\''";
  for (std::size_t i = 0; i < inner.size();) {
    if (inner.substr(i).starts_with(kQuotedApostrophe)) {
      out += '\'';
      i += kQuotedApostrophe.size();
    } else {
      out += inner[i++];
    }
  }
  return out;
}

std::string decodeDoubleQuoted(std::string_view inner) {
  std::string out;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size() &&
        (inner[i + 1] == '"' || inner[i + 1] == '\\' || inner[i + 1] == '$')) {
      ++i;
    }
    out += inner[i];
  }
  return out;
}

}  // namespace

std::string encodePreferenceValue(std::string_view value) {
  if (value.empty()) return "''";
  bool bare = true;
  for (char c : value) bare = bare && isBareSafe(c);
  if (bare) return std::string(value);
  std::string out = "'";
  for (char c : value) {
    if (c == '\n' || c == '\r') {
      out += ' ';
    } else if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string applyPreferences(std::string_view original, const PreferenceValues& values) {
  std::map<std::string, std::string, std::less<>> pending;
  for (const auto& [key, value] : values) pending[key] = value;  // the later duplicate wins

  std::vector<std::string> lines = splitAtNewlines(original);
  std::map<std::string, std::string, std::less<>> missing = pending;
  for (std::string& line : lines) {
    std::string_view key = lineKey(line);
    if (key.empty()) continue;
    auto it = pending.find(key);
    if (it == pending.end()) continue;
    missing.erase(it->first);
    line = it->first + "=" + encodePreferenceValue(it->second);
  }
  if (!missing.empty()) {
    if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
    lines.emplace_back(kHeader);
    for (const auto& [key, value] : missing)
      lines.push_back(key + "=" + encodePreferenceValue(value));
  }

  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}

Result<void> savePreferences(const std::filesystem::path& path, const PreferenceValues& values) {
  for (const auto& [key, value] : values) {
    if (!isShellName(key)) return fail(Errc::kInvalidArgument, "not a configuration key: " + key);
  }
  std::string original;
  if (Result<std::string> text = readFile(path)) {
    original = std::move(*text);
  } else if (text.error().code != Errc::kNotFound) {
    return std::unexpected(text.error());
  }
  return writeFileAtomically(path, applyPreferences(original, values));
}

std::optional<std::string> readConfigValue(std::string_view text, std::string_view key) {
  std::optional<std::string> found;
  for (std::string_view line : splitLines(text)) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (lineKey(line) != key || key.empty()) continue;
    std::string_view assignment = withoutExport(trimBlanks(line));
    std::string_view value = trimBlanks(assignment.substr(assignment.find('=') + 1));
    if (value.starts_with('(')) {
      found.reset();
      continue;
    }
    if (!value.starts_with('"') && !value.starts_with('\'')) {
      value = trimBlanks(value.substr(0, value.find('#')));
    }
    if (value.size() >= 2 && value.front() == value.back() && value.front() == '\'') {
      found = decodeSingleQuoted(value.substr(1, value.size() - 2));
    } else if (value.size() >= 2 && value.front() == value.back() && value.front() == '"') {
      found = decodeDoubleQuoted(value.substr(1, value.size() - 2));
    } else {
      found = std::string(value);
    }
  }
  return found;
}

}  // namespace brimvale
