#include "apps/bundle_version.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

std::string infoPlist(const std::string& shortVersion, const std::string& build) {
  std::string keys;
  if (!shortVersion.empty()) {
    keys += "<key>CFBundleShortVersionString</key><string>" + shortVersion + "</string>";
  }
  if (!build.empty()) keys += "<key>CFBundleVersion</key><string>" + build + "</string>";
  return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" + keys +
         "</dict></plist>";
}

TEST(EngineBundleVersion, ReadsBothHalvesOfTheVersion) {
  testing::TempFolder tmp;
  tmp.file("Good.app/Contents/Info.plist", infoPlist("3.1", "310"));
  tmp.file("NoName.app/Contents/Info.plist", infoPlist("3.1", ""));
  tmp.file("Broken.app/Contents/Info.plist", "not a plist");
  const auto version = readBundleVersion(tmp / "Good.app");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->text(), "3.1 (310)");
  EXPECT_EQ(readBundleVersion(tmp / "NoName.app")->text(), "3.1");
  EXPECT_FALSE(readBundleVersion(tmp / "Broken.app"));
}

}  // namespace
}  // namespace brimvale::apps
