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

struct KeyCase {
  std::string_view key;
  std::optional<std::string_view> usageName;
  std::optional<std::string_view> entitlementName;
};

// The two key tables are separate: a usage key is no entitlement and the other way round.
TEST(TccScan, KnownKeysNameTheirPermission) {
  const KeyCase cases[] = {
      {"NSAppleEventsUsageDescription", "Automation (Apple Events)", std::nullopt},
      {"NSFileProviderPresenceUsageDescription", "File Provider", std::nullopt},
      {"NSLocationAlwaysAndWhenInUseUsageDescription", "Location", std::nullopt},
      {"NSPhotoLibraryAddUsageDescription", "Photos library (add only)", std::nullopt},
      {"NSSystemExtensionUsageDescription", "System extension", std::nullopt},
      {"nscamerausagedescription", std::nullopt, std::nullopt},  // keys are case-sensitive
      {"com.apple.security.device.audio-input", std::nullopt, "Microphone"},
      {"com.apple.security.personal-information.photos-library", std::nullopt, "Photos library"},
      {"com.apple.security.files.user-selected.read-write", std::nullopt,
       "User-selected files (read/write)"},
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
  std::string xml = xmlPlist(
      stringEntry("NSMicrophoneUsageDescription", "talk") + stringEntry("CFBundleName", "Talker") +
      stringEntry("NSCameraUsageDescription", "see") +
      "<key>NSLocationUsageDescription</key><true/>");  // any value type counts
  const std::vector<TCCEntitlement> expected = {
      {"NSCameraUsageDescription", "Camera", TccSource::kInfoPlistUsageDescription},
      {"NSLocationUsageDescription", "Location", TccSource::kInfoPlistUsageDescription},
      {"NSMicrophoneUsageDescription", "Microphone", TccSource::kInfoPlistUsageDescription},
  };
  for (const std::string& bytes : {xml, binaryPlist(xml)}) {
    TempFolder tmp;
    tmp.file("Talker.app/Contents/Info.plist", bytes);
    EXPECT_EQ(scanInfoPlistUsage(tmp / "Talker.app"), expected);
  }
}

TEST(TccScan, UnreadableInfoPlistGivesNothing) {
  TempFolder tmp;
  tmp.file("Broken.app/Contents/Info.plist", "<plist><dict><key>NSCameraUsage");
  EXPECT_TRUE(scanInfoPlistUsage(tmp / "Broken.app").empty());
  EXPECT_TRUE(scanInfoPlistUsage(tmp / "Missing.app").empty());
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

TEST(TccScan, SourceRawTextsRoundTrip) {
  for (TccSource s : {TccSource::kCodesignEntitlement, TccSource::kInfoPlistUsageDescription})
    EXPECT_EQ(tccSourceFromRaw(tccSourceRaw(s)), s);
  EXPECT_EQ(tccSourceRaw(TccSource::kCodesignEntitlement), "codesignEntitlement");
  EXPECT_EQ(tccSourceFromRaw("infoPlist"), std::nullopt);
}

}  // namespace
}  // namespace brimvale::apps
