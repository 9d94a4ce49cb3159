#include "apps/info_plist.h"

#include <gtest/gtest.h>

#include "apps/app_catalogue_test_bundles.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using testing::encodedPlist;
using testing::PlistEncoding;

TEST(InfoPlist, ReadsTheSameKeysFromEitherEncoding) {
  const std::map<std::string, std::string> keys{
      {"CFBundleDisplayName", "Ünïcode Studio"},
      {"CFBundleName", "Studio"},
      {"CFBundleIdentifier", "com.example.studio"},
      {"CFBundleExecutable", "studio"},
      {"LSApplicationCategoryType", "public.app-category.graphics-design"},
  };
  for (auto encoding : {PlistEncoding::kXml, PlistEncoding::kBinary}) {
    SCOPED_TRACE(encoding == PlistEncoding::kXml ? "xml" : "binary");
    brimvale::testing::TempFolder tmp;
    tmp.file("Studio.app/Contents/Info.plist", encodedPlist(keys, encoding));
    const auto info = readInfoPlist(tmp / "Studio.app");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->displayName, "Ünïcode Studio");
    EXPECT_EQ(info->bundleName, "Studio");
    EXPECT_EQ(info->identifier, "com.example.studio");
    EXPECT_EQ(info->executable, "studio");
    EXPECT_EQ(info->categoryType, "public.app-category.graphics-design");
  }
  // A key of another kind reads as empty; what is no dictionary is refused.
  const auto info = parseInfoPlist(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
      "<integer>7</integer></dict></plist>");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->bundleName, "");
  EXPECT_FALSE(parseInfoPlist("<plist version=\"1.0\"><array><string>a</string></array></plist>"));
  EXPECT_FALSE(readInfoPlist("/nonexistent-bundle-for-test.app").has_value());
}

}  // namespace
}  // namespace brimvale::apps
