#include "common/base/text_formats.h"

#include <algorithm>
#include <cctype>

#include "common/base/file_io.h"

namespace brimvale {

std::vector<std::string> splitTsv(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t tab = line.find('\t', start);
    fields.emplace_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return fields;
}

std::string joinTsv(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) out += '\t';
    for (char c : fields[i]) out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
  }
  return out;
}

std::string escapedLineField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string unescapedLineField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char next = field[i + 1];
    const char decoded = next == 't'    ? '\t'
                         : next == 'n'  ? '\n'
                         : next == 'r'  ? '\r'
                         : next == '\\' ? '\\'
                                        : '\0';
    if (decoded == '\0') {
      out += field[i];
      continue;
    }
    out += decoded;
    ++i;
  }
  return out;
}

KeyValues parseKeyValues(std::string_view text) {
  KeyValues out;
  for (std::string_view line : splitLines(text)) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    out.emplace_back(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
  }
  return out;
}

std::string renderKeyValues(const KeyValues& pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    out += key;
    out += '=';
    for (char c : value) out += (c == '\n' || c == '\r') ? ' ' : c;
    out += '\n';
  }
  return out;
}

std::optional<std::string> findValue(const KeyValues& pairs, std::string_view key) {
  std::optional<std::string> found;
  for (const auto& [k, v] : pairs) {
    if (k == key) found = v;
  }
  return found;
}

Result<void> appendNdjsonLine(const std::filesystem::path& path, std::string_view json) {
  std::string line(json);
  line += '\n';
  return appendToFile(path, line);
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string_view> splitFields(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (true) {
    std::size_t start = text.find_first_not_of(separators, pos);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string_view::npos) end = text.size();
    fields.push_back(text.substr(start, end - start));
    pos = end;
  }
  return fields;
}

std::string_view trimBlanks(std::string_view text) {
  std::size_t b = text.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  std::size_t e = text.find_last_not_of(" \t");
  return text.substr(b, e - b + 1);
}

std::string_view lastNonBlankLine(std::string_view text) {
  const auto lines = splitLines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!trimBlanks(*it).empty()) return trimBlanks(*it);
  }
  return {};
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> rebasedPath(std::string_view path, std::string_view from,
                                       std::string_view to) {
  if (from.empty() || path.size() <= from.size() || !path.starts_with(from) ||
      path[from.size()] != '/')
    return std::nullopt;
  return std::string(to) + std::string(path.substr(from.size()));
}

std::string joinedWith(const std::vector<std::string>& items, std::string_view between) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += between;
    out += items[i];
  }
  return out;
}

std::string alignedColumns(const std::vector<std::vector<std::string>>& rows,
                           std::string_view indent) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    text += indent;
    for (std::size_t i = 0; i < row.size(); ++i) {
      text += row[i];
      if (i + 1 < row.size()) text += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    text += "\n";
  }
  return text;
}

std::string listedInWords(const std::vector<std::string>& items) {
  std::string words;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) words += i + 1 == items.size() ? " and " : ", ";
    words += items[i];
  }
  return words;
}

std::string shellQuoted(std::string_view text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._-+,:@%").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += "'";
  return out;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string rawInWords(std::string_view raw) {
  std::string words;
  for (const char c : raw) {
    if (c >= 'A' && c <= 'Z') {
      words += ' ';
      words += static_cast<char>(c - 'A' + 'a');
    } else {
      words += c;
    }
  }
  return words;
}

std::string trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const auto start = text.find_first_not_of(kBlank);
  if (start == std::string_view::npos) return {};
  return std::string(text.substr(start, text.find_last_not_of(kBlank) - start + 1));
}

}  // namespace brimvale
