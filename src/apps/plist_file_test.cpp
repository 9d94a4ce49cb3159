#include "apps/plist_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "apps/dock_pins.h"
#include "apps/helper_reference_scan.h"
#include "apps/info_plist.h"
#include "apps/plist_test_data.h"
#include "apps/tcc_scan.h"
#include "apps/update_framework.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::binaryPlist;
using testing::stringEntry;
using testing::xmlPlist;

// Given truncations at every length and random byte flips of real property lists, every reader
// returns (possibly empty) answers and never crashes.
TEST(PlistFile, DamagedFilesNeverCrashAnyReader) {
  TempFolder tmp;
  std::string xml = xmlPlist(
      stringEntry("Label", "com.example.job") + stringEntry("Program", "/Apps/X.app/run") +
      "<key>ProgramArguments</key><array><string>/Apps/X.app/a</string></array>" +
      stringEntry("NSCameraUsageDescription", "cam") + stringEntry("SUFeedURL", "https://x") +
      "<key>persistent-apps</key><array><dict><key>tile-data</key><dict>" +
      stringEntry("bundle-identifier", "com.example.x") + "</dict></dict></array>");
  std::filesystem::path bundle = tmp / "Apps" / "X.app";
  std::filesystem::path info = bundle / "Contents" / "Info.plist";
  std::filesystem::create_directories(info.parent_path());
  std::filesystem::create_directories(tmp / "agents");
  HelperToolScanner scanner({{tmp / "agents", HelperKind::kLaunchAgentUser}});
  UpdateFrameworkDetection detection(UpdateFrameworkFolders{.caskrooms = {}});
  auto readAll = [&](const std::string& bytes) {
    std::ofstream(info, std::ios::binary | std::ios::trunc) << bytes;
    std::ofstream(tmp / "agents" / "job.plist", std::ios::binary | std::ios::trunc) << bytes;
    (void)readDockPins(info);
    (void)scanner.scan(bundle);
    (void)scanInfoPlistUsage(bundle);
    (void)detection.detect(bundle, "com.example.x");
    (void)parseInfoPlist(bytes);
  };
  std::mt19937 random(7);
  for (const std::string& original : {xml, binaryPlist(xml)}) {
    for (std::size_t length = 0; length <= original.size(); ++length)
      readAll(original.substr(0, length));
    for (int round = 0; round < 300; ++round) {
      std::string damaged = original;
      for (int flips = 0; flips < 4; ++flips)
        damaged[random() % damaged.size()] = static_cast<char>(random());
      readAll(damaged);
    }
  }
  readAll(xml);
  EXPECT_EQ(readDockPins(info), (std::set<std::string>{"com.example.x"}));
}

}  // namespace
}  // namespace brimvale::apps
