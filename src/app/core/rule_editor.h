// The application's rule editor: reads the RULES block of brim-vale.conf into
// rows and writes it back, leaving every other line of the file as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"

namespace brimvale::app {

struct RuleRow {
  std::string action;
  std::string src;  // absolute; the home folder is written as $HOME on save
  std::string dest;
  std::int64_t age = 0;
  std::string extra;

  bool operator==(const RuleRow&) const = default;
};

// What the editor shows for a row: "Move (by age)", "Move (large files)",
// "Delete", "Clean app caches", else the action itself; an app_cache_clean
// rule shows "All configured apps" and "Surgical cache subfolders only" as
// its source and destination.
[[nodiscard]] std::string actionLabel(std::string_view action);
[[nodiscard]] std::string sourceLabel(const RuleRow& row);
[[nodiscard]] std::string destinationLabel(const RuleRow& row);

// The rows of the RULES block in `text`: the elements after the line that
// (trimmed) starts with "RULES=(" up to the line that starts with ")", or
// the elements of a one-line "RULES=(...)". Quotes are removed, fields split
// at '|' and trimmed, and $HOME / ${HOME} replaced by `home`. Empty
// elements are not rules.
[[nodiscard]] std::vector<RuleRow> parseRulesBlock(std::string_view text,
                                                   const std::filesystem::path& home);

// One element as saved: "action | src | dest | age | extra" with a source
// inside `home` written from $HOME, inside double quotes (", \, ` and any
// other $ escaped so the service reads the text back unchanged).
[[nodiscard]] std::string ruleElement(const RuleRow& row, const std::filesystem::path& home);

// `text` with its RULES block replaced by `rows`: lines before and after the
// old block stay; a one-line block is replaced by the new block; a file
// without one gets an empty line and the block appended. Ends with a newline.
[[nodiscard]] std::string withRulesBlock(std::string_view text, const std::vector<RuleRow>& rows,
                                         const std::filesystem::path& home);

// Reads the rows from the file; an unreadable or missing file gives an error
// whose detail starts with "Couldn't read config".
[[nodiscard]] Result<std::vector<RuleRow>> readRules(const std::filesystem::path& config,
                                                     const std::filesystem::path& home);

// Saves the rows through a temporary sibling "{config}.tmp.{pid}" renamed into
// place. A missing file is created; a file that exists but cannot be read is
// left alone and the error returned, so no other setting is ever lost.
[[nodiscard]] Result<void> saveRules(const std::filesystem::path& config,
                                     const std::vector<RuleRow>& rows,
                                     const std::filesystem::path& home);

}  // namespace brimvale::app
