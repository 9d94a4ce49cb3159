#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;

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
      {"1\n", 1, true, 1.0},
      {"0\n", 0, false, 0.0},
      {"1700000123.75\n", std::nullopt, std::nullopt, 1'700'000'123.75},
      {"low\n", std::nullopt, std::nullopt, std::nullopt},
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
