#include "common/state/config_file.h"

#include <cstddef>
#include <optional>

#include "common/base/text_formats.h"

namespace brimvale {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool isIdentChar(char c) { return isIdentStart(c) || (c >= '0' && c <= '9'); }

// Characters a shell would treat as an operator in an unquoted word.
bool isShellOperator(char c) {
  switch (c) {
    case ';':
    case '&':
    case '|':
    case '<':
    case '>':
    case '(':
    case ')':
    case '`': return true;
    default: return false;
  }
}

std::size_t skipBlanks(std::string_view line, std::size_t pos) {
  while (pos < line.size() && isBlank(line[pos])) ++pos;
  return pos;
}

// Appends the expansion of a '$' at `pos` and returns the position after it.
// Only the home folder is expanded; any other '$' stays as it is.
std::size_t expandDollar(std::string_view line, std::size_t pos, std::string_view home,
                         std::string& out) {
  std::string_view rest = line.substr(pos);
  if (rest.starts_with("${HOME}")) {
    out += home;
    return pos + 7;
  }
  if (rest.starts_with("$HOME") && (rest.size() == 5 || !isIdentChar(rest[5]))) {
    out += home;
    return pos + 5;
  }
  out += '$';
  return pos + 1;
}

enum class WordContext { kScalar, kArray };

// Reads one shell word starting at `pos` and leaves `pos` after it. Stops at
// a blank or the end of the line (and at ')' inside an array). Returns
// nothing when the word is malformed.
std::optional<std::string> readWord(std::string_view line, std::size_t& pos, std::string_view home,
                                    WordContext context) {
  std::string out;
  while (pos < line.size()) {
    char c = line[pos];
    if (isBlank(c)) break;
    if (c == '\'') {
      std::size_t close = line.find('\'', pos + 1);
      if (close == std::string_view::npos) return std::nullopt;
      out += line.substr(pos + 1, close - pos - 1);
      pos = close + 1;
    } else if (c == '"') {
      ++pos;
      while (true) {
        if (pos >= line.size()) return std::nullopt;
        char q = line[pos];
        if (q == '"') {
          ++pos;
          break;
        }
        if (q == '\\' && pos + 1 < line.size() &&
            (line[pos + 1] == '"' || line[pos + 1] == '\\' || line[pos + 1] == '$')) {
          out += line[pos + 1];
          pos += 2;
        } else if (q == '$') {
          pos = expandDollar(line, pos, home, out);
        } else {
          out += q;
          ++pos;
        }
      }
    } else if (c == '\\') {
      if (pos + 1 >= line.size()) return std::nullopt;
      out += line[pos + 1];
      pos += 2;
    } else if (c == '$') {
      pos = expandDollar(line, pos, home, out);
    } else if (c == ')' && context == WordContext::kArray) {
      break;
    } else if (isShellOperator(c)) {
      return std::nullopt;
    } else {
      out += c;
      ++pos;
    }
  }
  return out;
}

// True when only blanks and an optional comment remain from `pos`.
bool onlyCommentLeft(std::string_view line, std::size_t pos) {
  pos = skipBlanks(line, pos);
  return pos == line.size() || line[pos] == '#';
}

struct AssignmentStart {
  std::string name;
  std::size_t valuePos;  // just after '='
};

// Recognises "[export ]NAME=" at the start of a line (after blanks).
std::optional<AssignmentStart> assignmentStart(std::string_view line) {
  std::size_t pos = skipBlanks(line, 0);
  constexpr std::string_view kExport = "export";
  if (line.substr(pos).starts_with(kExport) && pos + kExport.size() < line.size() &&
      isBlank(line[pos + kExport.size()])) {
    pos = skipBlanks(line, pos + kExport.size());
  }
  if (pos >= line.size() || !isIdentStart(line[pos])) return std::nullopt;
  std::size_t end = pos;
  while (end < line.size() && isIdentChar(line[end])) ++end;
  if (end >= line.size() || line[end] != '=') return std::nullopt;
  return AssignmentStart{std::string(line.substr(pos, end - pos)), end + 1};
}

std::vector<std::string_view> configLines(std::string_view text) {
  std::vector<std::string_view> lines = splitLines(text);
  for (auto& line : lines) {
    if (line.ends_with('\r')) line.remove_suffix(1);
  }
  return lines;
}

struct ArrayOutcome {
  std::optional<std::vector<std::string>> elements;  // nothing: dropped
  std::size_t nextLine;
};

// Reads the elements after "NAME=(" that starts on lines[first] at `pos`.
ArrayOutcome readArray(const std::vector<std::string_view>& lines, std::size_t first,
                       std::size_t pos, std::string_view home) {
  std::vector<std::string> elements;
  // A malformed element spoils the whole array, but the block is still read
  // up to its ')' so that its own lines are not taken for assignments.
  bool malformed = false;
  std::size_t index = first;
  std::string_view line = lines[first];
  while (true) {
    pos = skipBlanks(line, pos);
    if (pos < line.size() && line[pos] == ')') {
      if (!malformed && onlyCommentLeft(line, pos + 1)) return {std::move(elements), index + 1};
      return {std::nullopt, index + 1};
    }
    if (pos < line.size() && line[pos] != '#') {
      if (std::optional<std::string> word = readWord(line, pos, home, WordContext::kArray)) {
        if (!word->empty()) elements.push_back(std::move(*word));
        continue;
      }
      malformed = true;  // the rest of this line cannot be split into words
    }
    ++index;
    if (index >= lines.size() || assignmentStart(lines[index])) return {std::nullopt, index};
    line = lines[index];
    pos = 0;
  }
}

}  // namespace

ConfigValues parseConfig(std::string_view text, std::string_view home) {
  ConfigValues values;
  std::vector<std::string_view> lines = configLines(text);
  std::size_t index = 0;
  while (index < lines.size()) {
    std::string_view line = lines[index];
    std::optional<AssignmentStart> start = assignmentStart(line);
    if (!start) {
      ++index;
      continue;
    }
    std::size_t pos = start->valuePos;
    if (pos < line.size() && line[pos] == '(') {
      ArrayOutcome array = readArray(lines, index, pos + 1, home);
      if (array.elements) {
        values[start->name] = ConfigValue{true, {}, std::move(*array.elements)};
      }
      index = array.nextLine;
      continue;
    }
    std::optional<std::string> word = readWord(line, pos, home, WordContext::kScalar);
    if (word && onlyCommentLeft(line, pos)) {
      values[start->name] = ConfigValue{false, std::move(*word), {}};
    }
    ++index;
  }
  return values;
}

std::optional<std::string> assignedName(std::string_view line) {
  std::optional<AssignmentStart> start = assignmentStart(line);
  if (!start) return std::nullopt;
  return std::move(start->name);
}

}  // namespace brimvale
