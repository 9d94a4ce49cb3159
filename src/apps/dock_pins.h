// The apps pinned in the user's Dock, by bundle identifier: a pinned app's icon may briefly show
// a placeholder after its bundle moves.
#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace brimvale::apps {

// Where the Dock keeps its preferences under `home`.
[[nodiscard]] std::filesystem::path dockPreferencesPath(const std::filesystem::path& home);

// The `bundle-identifier` of every `persistent-apps` item (read from the item's `tile-data`,
// where the Dock writes it, or from the item itself). XML or binary; a missing, unreadable or
// malformed file gives an empty set.
[[nodiscard]] std::set<std::string> readDockPins(const std::filesystem::path& dockPlist);

}  // namespace brimvale::apps
