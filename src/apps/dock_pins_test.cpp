#include "apps/dock_pins.h"

#include <gtest/gtest.h>

#include "apps/plist_test_data.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::binaryPlist;
using testing::stringEntry;
using testing::xmlPlist;

std::string tile(std::string_view tileData) {
  return "<dict><key>tile-data</key><dict>" + std::string(tileData) + "</dict></dict>";
}

// Only tiles of persistent-apps with a text identifier count; odd files give no pins.
TEST(DockPins, ReadsPinnedIdentifiersFromXmlAndBinary) {
  const std::string xml = xmlPlist(
      "<key>persistent-apps</key><array>" + tile(stringEntry("bundle-identifier", "com.a.one")) +
      tile(stringEntry("file-label", "No Identifier")) + "<dict>" +
      stringEntry("bundle-identifier", "com.b.two") + "</dict>" + "<string>not a tile</string>" +
      tile("<key>bundle-identifier</key><integer>5</integer>") +
      "</array><key>persistent-others</key><array>" +
      tile(stringEntry("bundle-identifier", "com.not.an.app")) + "</array>");
  const std::set<std::string> pinned{"com.a.one", "com.b.two"};
  const std::pair<std::string, std::set<std::string>> cases[] = {
      {xml, pinned},
      {binaryPlist(xml), pinned},
      {xmlPlist(stringEntry("persistent-apps", "com.a.one")), {}},
      {"\x01\x02 bplist00 nonsense", {}},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(bytes.substr(0, 40));
    TempFolder home;
    home.file("Library/Preferences/com.apple.dock.plist", bytes);
    EXPECT_EQ(readDockPins(dockPreferencesPath(home.path())), expected);
  }
  EXPECT_TRUE(readDockPins("/nonexistent-for-test/absent.plist").empty());
}

}  // namespace
}  // namespace brimvale::apps
