#include "apps/dock_pins.h"

#include <gtest/gtest.h>

#include "apps/plist_test_data.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::binaryPlist;
using testing::stringEntry;
using testing::xmlPlist;

std::string tile(std::string_view tileData) {
  return "<dict><key>tile-data</key><dict>" + std::string(tileData) + "</dict></dict>";
}

TEST(DockPins, ReadsPinnedIdentifiersFromXmlAndBinary) {
  std::string xml = xmlPlist(
      "<key>persistent-apps</key><array>" + tile(stringEntry("bundle-identifier", "com.a.one")) +
      tile(stringEntry("file-label", "No Identifier")) + "<dict>" +
      stringEntry("bundle-identifier", "com.b.two") + "</dict>" + "<string>not a tile</string>" +
      tile("<key>bundle-identifier</key><integer>5</integer>") +
      "</array><key>persistent-others</key><array>" +
      tile(stringEntry("bundle-identifier", "com.not.an.app")) + "</array>");
  for (const std::string& bytes : {xml, binaryPlist(xml)}) {
    SCOPED_TRACE(bytes.starts_with("bplist") ? "binary" : "xml");
    TempFolder home;
    home.file("Library/Preferences/com.apple.dock.plist", bytes);
    EXPECT_EQ(readDockPins(dockPreferencesPath(home.path())),
              (std::set<std::string>{"com.a.one", "com.b.two"}));
  }
}

TEST(DockPins, MissingOrOddPreferencesGiveNoPins) {
  TempFolder tmp;
  const std::pair<const char*, std::string> cases[] = {
      {"persistent-apps not an array", xmlPlist(stringEntry("persistent-apps", "com.a.one"))},
      {"no persistent-apps", xmlPlist(stringEntry("orientation", "left"))},
      {"garbage", "\x01\x02 bplist00 nonsense"},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(readDockPins(tmp.file(name, content)).empty());
  }
  EXPECT_TRUE(readDockPins(tmp / "absent.plist").empty());
}

}  // namespace
}  // namespace brimvale::apps
