#include "app/core/settings_catalogue.h"

#include <gtest/gtest.h>

#include <set>

namespace brimvale::app {
namespace {

const Setting& setting(std::string_view name) {
  const Setting* s = findSetting(name);
  EXPECT_NE(s, nullptr) << name;
  return *s;
}

TEST(SettingsCatalogue, AcceptsValuesOfTheRightTypeAndRangeOnly) {
  struct Case {
    std::string_view name;
    std::string typed;
    std::optional<std::string> stored;  // nothing: refused
    bool adjusted = false;
  } cases[] = {
      {"delete.disabled", "on", "1"},
      {"delete.disabled", "2", std::nullopt},
      {"mover.max-concurrent", "40", "16", true},
      {"mover.max-concurrent", "0", "5", true},
      {"mover.max-concurrent", "4.5", std::nullopt},
      {"mover.recent-write-window-hours", "500", "168", true},
      {"mover.verification-level", "Thorough", "thorough"},
      {"mover.verification-level", "paranoid", std::nullopt},
      {"auto.hour", "24", std::nullopt},
      {"quiet.blocked-hours", "0-7, 22-24", "0-7,22-24"},
      {"quiet.blocked-hours", "22-6", std::nullopt},
      {"cloud.providers", "a\nLOW_SPACE_WARN_GB=1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.typed);
    auto accepted = acceptValue(setting(c.name), c.typed);
    ASSERT_EQ(accepted.has_value(), c.stored.has_value());
    if (!accepted) {
      EXPECT_EQ(accepted.error().code, Errc::kInvalidArgument);
      EXPECT_NE(accepted.error().detail.find(allowedValues(setting(c.name))), std::string::npos);
      EXPECT_TRUE(accepted.error().detail.ends_with("Nothing was changed."));
      continue;
    }
    EXPECT_EQ(accepted->stored, *c.stored);
    EXPECT_EQ(accepted->adjustment.has_value(), c.adjusted);
  }
}

}  // namespace
}  // namespace brimvale::app
