#include "apps/bundle_version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

std::string infoPlist(const std::string& shortVersion, const std::string& build,
                      const std::string& executable) {
  std::string keys;
  if (!shortVersion.empty()) {
    keys += "<key>CFBundleShortVersionString</key><string>" + shortVersion + "</string>";
  }
  if (!build.empty()) keys += "<key>CFBundleVersion</key><string>" + build + "</string>";
  if (!executable.empty()) {
    keys += "<key>CFBundleExecutable</key><string>" + executable + "</string>";
  }
  return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" + keys +
         "</dict></plist>";
}

TEST(EngineBundleVersion, ComparesComponentsAsNumbersWhereTheyAreNumbers) {
  struct Row {
    const char* a;
    const char* b;
    std::optional<int> order;
  };
  const std::vector<Row> rows{
      {"1.10", "1.9", 1},      {"1.9", "1.10", -1},     {"2.0", "2", 0},
      {"2.0.1", "2", 1},       {"+3", "3", 0},          {"-1", "0", -1},
      {"1.2b", "1.2a", 1},     {"1.2 beta", "1.2", 1},  {"10", "9.99.99", 1},
      {"", "1", std::nullopt}, {"1", "", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " vs " + row.b);
    EXPECT_EQ(compareVersionTexts(row.a, row.b), row.order);
  }
}

TEST(EngineBundleVersion, ShortVersionDecidesAndBuildBreaksTies) {
  struct Row {
    BundleVersion a, b;
    std::optional<int> order;
  };
  const std::vector<Row> rows{
      {{"2.0", "100"}, {"1.9", "900"}, 1}, {{"2.0", "101"}, {"2.0", "100"}, 1},
      {{"2.0", "100"}, {"2.0", "100"}, 0}, {{"", "7"}, {"", "8"}, -1},
      {{"2.0", ""}, {"2.0", ""}, 0},       {{"", ""}, {"1.0", "1"}, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.a.text() + " vs " + row.b.text());
    EXPECT_EQ(compareBundleVersions(row.a, row.b), row.order);
  }
}

TEST(EngineBundleVersion, ReadsVersionsAndChecksTheExecutable) {
  testing::TempFolder tmp;
  tmp.file("Good.app/Contents/Info.plist", infoPlist("3.1", "310", "Good"));
  tmp.file("Good.app/Contents/MacOS/Good", "bin");
  tmp.file("NoBinary.app/Contents/Info.plist", infoPlist("3.1", "310", "Gone"));
  tmp.file("NoName.app/Contents/Info.plist", infoPlist("3.1", "", ""));
  tmp.file("Broken.app/Contents/Info.plist", "not a plist");
  const auto version = readBundleVersion(tmp / "Good.app");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->text(), "3.1 (310)");
  EXPECT_EQ(readBundleVersion(tmp / "NoName.app")->text(), "3.1");
  EXPECT_FALSE(readBundleVersion(tmp / "Broken.app"));
  EXPECT_TRUE(bundleIsIntact(tmp / "Good.app"));
  EXPECT_FALSE(bundleIsIntact(tmp / "NoBinary.app"));
  EXPECT_FALSE(bundleIsIntact(tmp / "NoName.app"));
  EXPECT_FALSE(bundleIsIntact(tmp / "Broken.app"));
}

}  // namespace
}  // namespace brimvale::apps
