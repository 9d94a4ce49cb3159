#include "apps/info_plist.h"

#include <gtest/gtest.h>

#include <random>

#include "apps/app_catalogue_test_bundles.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using testing::encodedPlist;
using testing::PlistEncoding;

const std::map<std::string, std::string> kKeys{
    {"CFBundleDisplayName", "Ünïcode Studio"},
    {"CFBundleName", "Studio"},
    {"CFBundleIdentifier", "com.example.studio"},
    {"CFBundleExecutable", "studio"},
    {"LSApplicationCategoryType", "public.app-category.graphics-design"},
};

TEST(InfoPlist, ReadsTheSameKeysFromEitherEncoding) {
  for (auto encoding : {PlistEncoding::kXml, PlistEncoding::kBinary}) {
    SCOPED_TRACE(encoding == PlistEncoding::kXml ? "xml" : "binary");
    brimvale::testing::TempFolder tmp;
    tmp.file("Studio.app/Contents/Info.plist", encodedPlist(kKeys, encoding));
    const auto info = readInfoPlist(tmp / "Studio.app");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->displayName, "Ünïcode Studio");
    EXPECT_EQ(info->bundleName, "Studio");
    EXPECT_EQ(info->identifier, "com.example.studio");
    EXPECT_EQ(info->executable, "studio");
    EXPECT_EQ(info->categoryType, "public.app-category.graphics-design");
  }
}

// What is no dictionary at all is refused by the property-list reader (its
// own tests); here a key of another kind reads as empty.
TEST(InfoPlist, LeavesKeysOfOtherKindsEmpty) {
  const auto info = parseInfoPlist(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
      "<integer>7</integer></dict></plist>");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->bundleName, "");
  EXPECT_FALSE(parseInfoPlist("<plist version=\"1.0\"><array><string>a</string></array></plist>"));
  EXPECT_FALSE(readInfoPlist("/nonexistent-bundle-for-test.app").has_value());
}

// Given truncated and corrupted property lists of both encodings, parsing
// never crashes and a result, when there is one, is whatever strings survived.
TEST(InfoPlist, DamagedBytesNeverCrash) {
  std::mt19937 random(1234);
  for (auto encoding : {PlistEncoding::kXml, PlistEncoding::kBinary}) {
    const std::string whole = encodedPlist(kKeys, encoding);
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      (void)parseInfoPlist(std::string_view(whole).substr(0, cut));
    }
    for (int round = 0; round < 2000; ++round) {
      std::string damaged = whole;
      const int flips = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < flips; ++i) {
        damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
      }
      (void)parseInfoPlist(damaged);
    }
  }
  SUCCEED();
}

}  // namespace
}  // namespace brimvale::apps
