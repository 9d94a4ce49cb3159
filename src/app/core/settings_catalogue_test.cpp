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
      {"delete.disabled", "OFF", "0"},
      {"delete.disabled", "yes", "1"},
      {"delete.disabled", "2", std::nullopt},
      {"mover.max-concurrent", "16", "16"},
      {"mover.max-concurrent", "40", "16", true},
      {"mover.max-concurrent", "0", "5", true},
      {"mover.max-concurrent", "-3", "5", true},
      {"mover.max-concurrent", "4.5", std::nullopt},
      {"mover.max-concurrent", "", std::nullopt},
      {"mover.recent-write-window-hours", "500", "168", true},
      {"mover.recent-write-window-hours", "0", "12", true},
      {"mover.verification-level", "Thorough", "thorough"},
      {"mover.verification-level", "paranoid", std::nullopt},
      {"auto.hour", "23", "23"},
      {"auto.hour", "24", std::nullopt},
      {"auto.hour", "-1", std::nullopt},
      {"quiet.smart-min-battery", "101", std::nullopt},
      {"quiet.mode", "always-on", "always-on"},
      {"quiet.blocked-hours", "0-7, 22-24", "0-7,22-24"},
      {"quiet.blocked-hours", "22-6", std::nullopt},
      {"quiet.blocked-hours", "9-25", std::nullopt},
      {"quiet.blocked-hours", "nine-five", std::nullopt},
      {"quiet.blocked-hours", "", std::nullopt},
      {"cloud.providers", "iCloud Drive,Dropbox", "iCloud Drive,Dropbox"},
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

TEST(SettingsCatalogue, NearestNameForTyposAndRealKeys) {
  struct Case {
    std::string_view typed;
    std::string_view nearest;
  } cases[] = {
      {"delete.disable", "delete.disabled"},
      {"DISABLE_DELETE", "delete.disabled"},
      {"low_space_warn_gb", "space.warn-gb"},
      {"mover.verify-level", "mover.verification-level"},
      {"brimvale.mover.maxConcurrent", "mover.max-concurrent"},
      {"delet", "delete.disabled"},
      {"verification", "mover.verification-level"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(nearestSettingName(c.typed), c.nearest);
  }
}

// Given what a store holds, then the value shown is what its reader uses.
TEST(SettingsCatalogue, EffectiveValueIsWhatTheReaderUses) {
  struct Case {
    std::string_view name;
    std::optional<std::string> stored;
    std::string effective;
  } cases[] = {
      {"mover.max-concurrent", std::nullopt, "5"},
      {"mover.max-concurrent", "0", "5"},
      {"mover.max-concurrent", "99", "16"},
      {"mover.verification-level", "bogus", "fast"},
      {"mover.recent-write-guard", "off", "off"},
      {"delete.disabled", "1", "on"},
      {"delete.disabled", "yes", "off"},
      {"space.warn-gb", "", "40"},
      {"space.warn-gb", "lots", "40"},
      {"auto.hour", "30", "30"},
      {"quiet.mode", "smart", "smart"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.stored.value_or("(none)"));
    EXPECT_EQ(effectiveValue(setting(c.name), c.stored), c.effective);
  }
}

TEST(SettingsCatalogue, NamesAndKeysAreUniqueAndDefaultsAcceptable) {
  std::set<std::string_view> names, keys;
  for (const auto& s : settingsCatalogue()) {
    SCOPED_TRACE(s.name);
    EXPECT_TRUE(names.insert(s.name).second);
    EXPECT_TRUE(keys.insert(s.key).second);
    if (s.defaultValue.empty()) continue;
    EXPECT_EQ(acceptValue(s, s.defaultValue)->shown, s.defaultValue);
  }
}

}  // namespace
}  // namespace brimvale::app
