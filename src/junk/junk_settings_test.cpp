#include "junk/junk_settings.h"

#include <gtest/gtest.h>

#include "platform/testing/memory_user_defaults.h"

namespace brimvale::junk {
namespace {

TEST(JunkSettings, ItemLimitIsClampedAndDefaultsTo250) {
  platform::testing::MemoryDefaults defaults;
  JunkSettings settings(defaults);
  EXPECT_EQ(settings.maxItems(), 250);
  const std::pair<std::int64_t, std::int64_t> cases[] = {{10, 50},   {5000, 500}, {50, 50},
                                                         {500, 500}, {120, 120},  {-3, 50}};
  for (auto [stored, effective] : cases) {
    SCOPED_TRACE(stored);
    ASSERT_TRUE(defaults.setInt("JunkMaxItems", stored));
    EXPECT_EQ(settings.maxItems(), effective);
  }
  ASSERT_TRUE(defaults.setString("JunkMaxItems", "400"));
  EXPECT_EQ(settings.maxItems(), 250) << "a value of another type means the default";
}

TEST(JunkSettings, FilesPerScrapDefaultsTo25AndStopsAt250) {
  EXPECT_EQ(effectiveMaxFiles(std::nullopt), 25);
  EXPECT_EQ(effectiveMaxFiles(1000), 250);
  EXPECT_EQ(effectiveMaxFiles(0), 1);
  EXPECT_EQ(effectiveMaxFiles(40), 40);
}

TEST(JunkSettings, TypedValuesAreCheckedBeforeTheyAreStored) {
  platform::testing::MemoryDefaults defaults;
  JunkSettings settings(defaults);
  struct Case {
    std::string_view key, value;
    bool accepted;
    std::string_view shown;  // after the attempt
  };
  const Case cases[] = {
      {"JunkEnabledLocally", "yes", true, "on"},   {"JunkEnabledLocally", "maybe", false, "on"},
      {"JunkDefaultTTL", "h6", true, "h6"},        {"JunkDefaultTTL", "h5", false, "h6"},
      {"JunkCurtainEdge", "right", true, "right"}, {"JunkCurtainEdge", "left", false, "right"},
      {"JunkMaxItems", "10", true, "50"},          {"JunkMaxItems", "12x", false, "50"},
      {"JunkAutoWatch", "off", true, "off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + std::string(c.value));
    const JunkSetting* setting = findJunkSetting(c.key);
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(settings.set(*setting, c.value).has_value(), c.accepted);
    EXPECT_EQ(settings.shown(*setting), c.shown);
  }
  EXPECT_EQ(settings.defaultTTL(), JunkTTL::kH6);
  EXPECT_FALSE(settings.autoWatch());
}

}  // namespace
}  // namespace brimvale::junk
