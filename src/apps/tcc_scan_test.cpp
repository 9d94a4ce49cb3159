#include "apps/tcc_scan.h"

#include <gtest/gtest.h>

#include "apps/plist_test_data.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using brimvale::testing::TempFolder;
using testing::binaryPlist;
using testing::stringEntry;
using testing::xmlPlist;

TEST(TccScan, InfoPlistUsageKeysInXmlAndBinary) {
  const std::string xml = xmlPlist(
      stringEntry("NSMicrophoneUsageDescription", "talk") + stringEntry("CFBundleName", "Talker") +
      stringEntry("NSCameraUsageDescription", "see") +
      "<key>NSLocationUsageDescription</key><true/>");  // any value type counts
  const std::vector<TCCEntitlement> expected = {
      {"NSCameraUsageDescription", "Camera", TccSource::kInfoPlistUsageDescription},
      {"NSLocationUsageDescription", "Location", TccSource::kInfoPlistUsageDescription},
      {"NSMicrophoneUsageDescription", "Microphone", TccSource::kInfoPlistUsageDescription},
  };
  const std::pair<std::string, std::vector<TCCEntitlement>> cases[] = {
      {xml, expected},
      {binaryPlist(xml), expected},
      {"<plist><dict><key>NSCameraUsage", {}},
  };
  for (const auto& [bytes, found] : cases) {
    TempFolder tmp;
    tmp.file("Talker.app/Contents/Info.plist", bytes);
    EXPECT_EQ(scanInfoPlistUsage(tmp / "Talker.app"), found);
  }
}

}  // namespace
}  // namespace brimvale::apps
