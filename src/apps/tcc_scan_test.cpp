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

// The two key tables are separate: a usage key is no entitlement and the other way round.
TEST(TccScan, KnownKeysNameTheirPermission) {
  struct KeyCase {
    std::string_view key;
    std::optional<std::string_view> usageName;
    std::optional<std::string_view> entitlementName;
  };
  const KeyCase cases[] = {
      {"NSAppleEventsUsageDescription", "Automation (Apple Events)", std::nullopt},
      {"NSPhotoLibraryAddUsageDescription", "Photos library (add only)", std::nullopt},
      {"nscamerausagedescription", std::nullopt, std::nullopt},  // keys are case-sensitive
      {"com.apple.security.device.audio-input", std::nullopt, "Microphone"},
      {"com.apple.security.files.downloads.read-only", std::nullopt, "Downloads folder (read)"},
      {"com.apple.security.get-task-allow", std::nullopt, std::nullopt},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(usageKeyDisplayName(c.key), c.usageName);
    EXPECT_EQ(entitlementDisplayName(c.key), c.entitlementName);
  }
}

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

TEST(TccScan, MergeDropsRepeatsOfTheSameSourceAndKeyOnly) {
  auto signature = signatureEntitlements({"com.apple.security.device.camera",
                                          "com.apple.security.get-task-allow",
                                          "com.apple.security.device.camera"});
  ASSERT_EQ(signature.size(), 1u);  // repeats in the input and unknown keys left out
  TCCEntitlement usage{"NSCameraUsageDescription", "Camera", TccSource::kInfoPlistUsageDescription};
  auto merged = mergeEntitlements({usage, usage}, signature);
  EXPECT_EQ(merged, (std::vector<TCCEntitlement>{usage, signature[0]}));
}

}  // namespace
}  // namespace brimvale::apps
