#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "platform/testing/standin_tool.h"
#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;
using testing::StandinTool;

TEST(JsonUserDefaults, KeepsTypedValuesAcrossInstances) {
  TempFolder dir;
  const auto file = dir.path() / "state" / "user-defaults.json";
  {
    auto defaults = makeJsonUserDefaults(file);
    ASSERT_TRUE(defaults->setString("brimvale.storage.warnState", "critical"));
    ASSERT_TRUE(defaults->setInt("brimvale.count", -3));
    ASSERT_TRUE(defaults->setBool("brimvale.flag", true));
    ASSERT_TRUE(defaults->setString("gone", "x"));
    ASSERT_TRUE(defaults->remove("gone"));
    ASSERT_TRUE(defaults->remove("never there"));
  }
  auto defaults = makeJsonUserDefaults(file);
  EXPECT_EQ(defaults->getString("brimvale.storage.warnState"), "critical");
  EXPECT_EQ(defaults->getInt("brimvale.count"), -3);
  EXPECT_EQ(defaults->getBool("brimvale.flag"), true);
  EXPECT_FALSE(defaults->getString("gone"));
  // A value read with another type is absent rather than converted.
  EXPECT_FALSE(defaults->getInt("brimvale.storage.warnState"));
  EXPECT_FALSE(defaults->getString("brimvale.flag"));
}

// Given a time stored as a real and one an older version stored as whole
// seconds, then both read as reals and the real is kept with its fraction.
TEST(JsonUserDefaults, RealsAreWrittenAsRealsAndWholeNumbersStillReadAsThem) {
  TempFolder dir;
  const auto file = dir.path() / "defaults.json";
  auto defaults = makeJsonUserDefaults(file);
  ASSERT_TRUE(defaults->setDouble("real", 1'700'000'000.0));
  ASSERT_TRUE(defaults->setDouble("fraction", 0.25));
  ASSERT_TRUE(defaults->setInt("whole", 1'700'000'123));
  EXPECT_NE(readFile(file)->find("\"real\": 1700000000.0"), std::string::npos) << *readFile(file);
  EXPECT_EQ(defaults->getDouble("fraction"), 0.25);
  EXPECT_EQ(defaults->getDouble("whole"), 1'700'000'123.0);
  EXPECT_FALSE(defaults->getInt("fraction"));
  ASSERT_TRUE(defaults->setString("text", "1.5"));
  EXPECT_FALSE(defaults->getDouble("text"));
}

TEST(JsonUserDefaults, AnUndecodableFileIsNeitherReadNorReplaced) {
  TempFolder dir;
  dir.file("defaults.json", "{ half written");
  auto defaults = makeJsonUserDefaults(dir.path() / "defaults.json");
  EXPECT_FALSE(defaults->getString("a"));
  auto written = defaults->setString("a", "b");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code, Errc::kParse);
  EXPECT_EQ(*readFile(dir.path() / "defaults.json"), "{ half written");
}

TEST(MacUserDefaults, ParsesRecordedValues) {
  struct Case {
    const char* output;
    std::optional<std::int64_t> asInt;
    std::optional<bool> asBool;
    std::optional<double> asDouble;
  } cases[] = {
      {"42\n", 42, std::nullopt, 42.0},
      {"-7\n", -7, std::nullopt, -7.0},
      {"1\n", 1, true, 1.0},
      {"0\n", 0, false, 0.0},
      {"1700000123.75\n", std::nullopt, std::nullopt, 1'700'000'123.75},
      {"low\n", std::nullopt, std::nullopt, std::nullopt},
      {"\n", std::nullopt, std::nullopt, std::nullopt},
      {"12abc\n", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(parseDefaultsInt(c.output), c.asInt);
    EXPECT_EQ(parseDefaultsBool(c.output), c.asBool);
    EXPECT_EQ(parseDefaultsDouble(c.output), c.asDouble);
  }
}

}  // namespace
}  // namespace brimvale::platform
