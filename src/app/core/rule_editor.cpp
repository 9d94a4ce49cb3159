#include "app/core/rule_editor.h"

#include <cerrno>

#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/state/config_keys.h"
#include "common/state/rule_text.h"

namespace brimvale::app {
namespace fs = std::filesystem;

namespace {

// The start of the line that opens the rules array.
std::string blockStart() { return std::string(config_keys::kRules) + "=("; }
constexpr std::string_view kCouldNotRead = "Couldn't read config";

std::string_view trimmedLine(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  return trimBlanks(line);
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The elements on one line of an array: "..." (with \" \\ \$ \` escapes),
// '...' (literal) or bare words, separated by blanks; stops at ')'.
std::vector<std::string> elementsOf(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] == ')' || line[i] == '#') break;
    std::string element;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != ')') {
      const char c = line[i++];
      if (c == '"') {
        while (i < line.size() && line[i] != '"') {
          if (line[i] == '\\' && i + 1 < line.size() &&
              std::string_view("\"\\$`").find(line[i + 1]) != std::string_view::npos) {
            ++i;
          }
          element += line[i++];
        }
        ++i;
      } else if (c == '\'') {
        while (i < line.size() && line[i] != '\'') element += line[i++];
        ++i;
      } else {
        element += c;
      }
    }
    out.push_back(std::move(element));
  }
  return out;
}

struct BlockSpan {
  std::size_t first = 0;        // the RULES=( line
  std::size_t elementsEnd = 0;  // one past the element lines
  std::size_t after = 0;        // the first line after the block
};

// An unclosed block runs to the end of the file.
// The last block: the service reads the configuration as the shell would, so
// a later assignment wins, and that is the one to show and to change.
std::optional<BlockSpan> findBlock(const std::vector<std::string_view>& lines) {
  std::optional<BlockSpan> found;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!trimmedLine(lines[i]).starts_with(blockStart())) continue;
    if (lines[i].find(')') != std::string_view::npos) {
      found = BlockSpan{i, i + 1, i + 1};
      continue;
    }
    std::size_t end = i + 1;
    while (end < lines.size() && !trimmedLine(lines[end]).starts_with(")")) ++end;
    found = BlockSpan{i, end, std::min(end + 1, lines.size())};
    i = end;
  }
  return found;
}

RuleRow rowOf(const std::string& element, const fs::path& home) {
  std::string text = replaceAll(element, "${HOME}", home.string());
  text = replaceAll(std::move(text), "$HOME", home.string());
  RuleText rule = parseRuleText(text);
  return {rule.action, rule.src, rule.dest, rule.age, rule.extra};
}

std::string escapedForDoubleQuotes(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string actionLabel(std::string_view action) {
  if (action == "archive_old") return "Move (by age)";
  if (action == "archive_big") return "Move (large files)";
  if (action == "delete_old") return "Delete";
  if (action == "app_cache_clean") return "Clean app caches";
  return std::string(action);
}

std::string sourceLabel(const RuleRow& row) {
  return row.action == "app_cache_clean" ? "All configured apps" : row.src;
}

std::string destinationLabel(const RuleRow& row) {
  return row.action == "app_cache_clean" ? "Surgical cache subfolders only" : row.dest;
}

std::vector<RuleRow> parseRulesBlock(std::string_view text, const fs::path& home) {
  std::vector<RuleRow> rows;
  const std::vector<std::string_view> lines = splitLines(text);
  const auto block = findBlock(lines);
  if (!block) return rows;
  auto add = [&](std::string_view line) {
    for (const auto& element : elementsOf(line)) {
      if (!trimBlanks(element).empty()) rows.push_back(rowOf(element, home));
    }
  };
  add(trimmedLine(lines[block->first]).substr(blockStart().size()));
  for (std::size_t i = block->first + 1; i < block->elementsEnd; ++i) add(trimmedLine(lines[i]));
  return rows;
}

std::string ruleElement(const RuleRow& row, const fs::path& home) {
  const std::string homeText = home.string();
  std::string src = escapedForDoubleQuotes(row.src);
  const std::string escapedHome = escapedForDoubleQuotes(homeText);
  if (!homeText.empty() && (row.src == homeText || row.src.starts_with(homeText + "/"))) {
    src = "$HOME" + src.substr(escapedHome.size());
  }
  return "\"" + escapedForDoubleQuotes(row.action) + " | " + src + " | " +
         escapedForDoubleQuotes(row.dest) + " | " + std::to_string(row.age) + " | " +
         escapedForDoubleQuotes(row.extra) + "\"";
}

std::string withRulesBlock(std::string_view text, const std::vector<RuleRow>& rows,
                           const fs::path& home) {
  std::string block = blockStart() + "\n";
  for (const auto& row : rows) block += "  " + ruleElement(row, home) + "\n";
  block += ")\n";
  const std::vector<std::string_view> lines = splitLines(text);
  const auto span = findBlock(lines);
  std::string out;
  if (!span) {
    for (auto line : lines) out += std::string(line) + "\n";
    return out + "\n" + block;
  }
  for (std::size_t i = 0; i < span->first; ++i) out += std::string(lines[i]) + "\n";
  out += block;
  for (std::size_t i = span->after; i < lines.size(); ++i) out += std::string(lines[i]) + "\n";
  return out;
}

Result<std::vector<RuleRow>> readRules(const fs::path& config, const fs::path& home) {
  auto text = readFile(config);
  if (!text)
    return fail(text.error().code, std::string(kCouldNotRead) + ": " + text.error().detail);
  return parseRulesBlock(*text, home);
}

Result<void> saveRules(const fs::path& config, const std::vector<RuleRow>& rows,
                       const fs::path& home) {
  std::string original;
  auto text = readFile(config);
  if (text) {
    original = std::move(*text);
  } else if (text.error().code != Errc::kNotFound) {
    return std::unexpected(text.error());
  }
  return writeFileAtomically(config, withRulesBlock(original, rows, home));
}

}  // namespace brimvale::app
