#include "app/core/settings_excludes.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "app/core/json_output.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/state/config_file.h"
#include "common/state/config_keys.h"

namespace brimvale::app {
namespace {

// Single quotes keep "$HOME" as written: the matcher places it, as it does "~".
std::string quotedEntry(std::string_view entry) {
  std::string out = "'";
  for (char ch : entry) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return out + "'";
}

std::string excludesLine(const std::vector<std::string>& entries) {
  std::string line = std::string(config_keys::kExcludes) + "=(";
  for (const auto& entry : entries) line += " " + quotedEntry(entry);
  return line + (entries.empty() ? ")" : " )");
}

// Why an entry could never keep anything; nothing when it can.
std::optional<std::string> entryMistake(const std::string& entry) {
  if (trimBlanks(entry).empty()) return "An empty exclude would keep nothing";
  if (entry.find_first_of("\r\n") != std::string::npos)
    return "An exclude is one line; this one has a line break";
  if (entry.find('/') == std::string::npos || entry.starts_with('/') || entry == "~" ||
      entry.starts_with("~/") || entry.starts_with("$HOME") || entry.starts_with("${HOME}"))
    return std::nullopt;
  return "\"" + entry +
         "\" is a folder but not a full one: start it with /, ~/ or $HOME/ (a name pattern has "
         "no /)";
}

const char* const kEditUsage =
    "Use \"brimvale settings excludes\" to list them, \"brimvale settings excludes add "
    "ENTRY\" or \"brimvale settings excludes remove ENTRY\" to change them.";

int editExcludes(SettingsCommandContext& c, const std::string& verb, const std::string& entry) {
  if (verb == "add") {
    if (auto mistake = entryMistake(entry)) {
      c.err << *mistake << "; nothing was changed.\n";
      return 2;
    }
  }
  if (!pathExists(c.configFile).value_or(false)) {
    c.err << "The background service isn't installed yet, so your excludes can't be saved; "
             "nothing was changed. Run \"brimvale install\" first, then try again.\n";
    return 1;
  }
  auto text = readFile(c.configFile);
  if (!text) {
    c.err << "Couldn't read " << c.configFile.string()
          << "; nothing was changed. Check that it can be read, then try again.\nRaw error: "
          << text.error().message() << "\n";
    return 1;
  }
  std::vector<std::string> entries = excludeEntries(*text);
  const auto found = std::find(entries.begin(), entries.end(), entry);
  if (verb == "add" && found != entries.end()) {
    c.out << "\"" << entry << "\" is already in your excludes; nothing was changed.\n";
    return 0;
  }
  if (verb == "remove" && found == entries.end()) {
    c.err << "\"" << entry
          << "\" isn't in your excludes, so nothing was changed. Run \"brimvale settings "
             "excludes\" to see them as written.\n";
    return 2;
  }
  if (verb == "add") {
    entries.push_back(entry);
  } else {
    entries.erase(found);
  }
  auto saved = writeFileAtomically(c.configFile, withExcludes(*text, entries));
  auto after = saved ? readFile(c.configFile) : Result<std::string>(std::unexpected(saved.error()));
  if (!after || excludeEntries(*after) != entries) {
    c.err << "Couldn't save your excludes, so they are as they were; your files are safe. Check "
             "that "
          << c.configFile.parent_path().string() << " can be written, then try again.\n";
    if (!after) c.err << "Raw error: " << after.error().message() << "\n";
    return 1;
  }
  c.out << (verb == "add" ? "Added \"" : "Removed \"") << entry
        << (verb == "add" ? "\" to your excludes.\n" : "\" from your excludes.\n")
        << "Saved \u00b7 daemon picks this up within 30s\n";
  return 0;
}

}  // namespace

std::vector<std::string> excludeEntries(std::string_view configText) {
  const ConfigValues values = parseConfig(configText, "$HOME");
  const auto it = values.find(config_keys::kExcludes);
  if (it == values.end()) return {};
  if (!it->second.isArray)
    return it->second.scalar.empty() ? std::vector<std::string>{}
                                     : std::vector<std::string>{it->second.scalar};
  return it->second.elements;
}

std::string withExcludes(std::string_view configText, const std::vector<std::string>& entries) {
  std::string out;
  bool written = false;
  bool inArray = false;
  for (std::string_view line : splitLines(configText)) {
    if (inArray) {
      // An array runs to its ')' or to the next assignment, as the reader sees it.
      if (assignedName(line)) {
        inArray = false;
      } else {
        if (line.find(')') != std::string_view::npos) inArray = false;
        continue;
      }
    }
    if (assignedName(line) == std::string(config_keys::kExcludes)) {
      const std::size_t open = line.find("=(");
      inArray = open != std::string_view::npos && line.find(')', open) == std::string_view::npos;
      if (!written) out += excludesLine(entries) + "\n";
      written = true;
      continue;
    }
    out += std::string(line) + "\n";
  }
  if (!written) out += excludesLine(entries) + "\n";
  return out;
}

int settingsExcludesCommand(SettingsCommandContext& c, const std::vector<std::string>& words,
                            SettingsFormat format) {
  if (words.size() == 2 && (words[0] == "add" || words[0] == "remove"))
    return editExcludes(c, words[0], words[1]);
  if (!words.empty()) {
    c.err << "settings excludes takes nothing, add ENTRY or remove ENTRY; nothing was changed. "
          << kEditUsage << "\n";
    return 2;
  }
  std::string text;
  if (pathExists(c.configFile).value_or(false)) {
    auto read = readFile(c.configFile);
    if (!read) {
      c.err << "Couldn't read " << c.configFile.string()
            << "; nothing was changed. Check that it can be read, then try again.\nRaw error: "
            << read.error().message() << "\n";
      return 1;
    }
    text = std::move(*read);
  }
  const auto entries = excludeEntries(text);
  if (format == SettingsFormat::kJson) {
    c.out << versionedText(nlohmann::json{{"excludes", entries}});
    return 0;
  }
  if (entries.empty()) c.out << "No excludes. " << kEditUsage << "\n";
  for (const auto& entry : entries) c.out << entry << "\n";
  return 0;
}

std::string excludesListing(std::string_view configText) {
  const auto entries = excludeEntries(configText);
  std::string shown;
  for (const auto& entry : entries) shown += (shown.empty() ? "" : ", ") + entry;
  return "\nexcludes = " + (entries.empty() ? std::string("none") : shown) +
         "\n    Folders (with a /) and name patterns (without) that scans, clean-ups and rules "
         "leave alone\n    change with: brimvale settings excludes add|remove ENTRY\n";
}

}  // namespace brimvale::app
