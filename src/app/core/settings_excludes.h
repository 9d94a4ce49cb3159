// `brimvale settings excludes [add|remove ENTRY]`: the EXCLUDES array of
// brim-vale.conf, shown and edited one entry at a time, leaving every other
// line of the file as it was.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/core/settings_command.h"

namespace brimvale::app {

// The entries as written (not expanded, so "~/x" and "$HOME/x" stay so).
[[nodiscard]] std::vector<std::string> excludeEntries(std::string_view configText);

// `configText` with its EXCLUDES assignments replaced by one line holding
// `entries` (where the first one was, else appended). Ends with a newline.
[[nodiscard]] std::string withExcludes(std::string_view configText,
                                       const std::vector<std::string>& entries);

// `words` are what follows "excludes". Exit status as settingsCommand's.
[[nodiscard]] int settingsExcludesCommand(SettingsCommandContext& c,
                                          const std::vector<std::string>& words,
                                          SettingsFormat format);

// The listing's lines for the excludes, after the catalogue's settings.
[[nodiscard]] std::string excludesListing(std::string_view configText);

}  // namespace brimvale::app
