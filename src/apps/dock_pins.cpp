#include "apps/dock_pins.h"

#include "apps/plist_file.h"

namespace brimvale::apps {

std::filesystem::path dockPreferencesPath(const std::filesystem::path& home) {
  return home / "Library" / "Preferences" / "com.apple.dock.plist";
}

std::set<std::string> readDockPins(const std::filesystem::path& dockPlist) {
  std::set<std::string> pins;
  PlistTree dock = readPlistDict(dockPlist);
  plist_t apps = plistChild(dock.get(), "persistent-apps", PLIST_ARRAY);
  uint32_t count = apps ? plist_array_get_size(apps) : 0;
  for (uint32_t i = 0; i < count; ++i) {
    plist_t item = plist_array_get_item(apps, i);
    auto id = plistString(plistChild(item, "tile-data", PLIST_DICT), "bundle-identifier");
    if (!id) id = plistString(item, "bundle-identifier");
    if (id) pins.insert(*id);
  }
  return pins;
}

}  // namespace brimvale::apps
