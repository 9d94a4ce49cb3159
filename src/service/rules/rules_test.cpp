#include "service/rules/rules.h"

#include <gtest/gtest.h>

namespace brimvale::service {
namespace {

ServiceConfig configOf(std::string_view text) {
  return ServiceConfig::fromValues(parseConfig(text, "/Users/ada"), "BRIM-Test");
}

TEST(Rules, FloorsOnlyRaiseAndOnlyWhereTheyApply) {
  struct Case {
    const char* name;
    const char* config;
    const char* rule;
    std::int64_t age;
    std::string notices;  // one per line
  } cases[] = {
      {"hard floor clamps", "", "archive_old | /d | A | 3 |", 7,
       "rule 'archive_old /d' age 3 < hard floor; clamping to 7\n"},
      {"hard floor applies to caches", "MIN_AGE_HARD_FLOOR_DAYS=10\n", "app_cache_clean|||2", 10,
       "rule 'app_cache_clean ' age 2 < hard floor; clamping to 10\n"},
      {"archive floor after hard floor", "MIN_ARCHIVE_DAYS=30\n", "archive_big | /d | A | 3 |", 30,
       "rule 'archive_big /d' age 3 < hard floor; clamping to 7\n"
       "rule 'archive_big /d' age 7 raised to MIN_ARCHIVE_DAYS=30\n"},
      {"delete floor", "MIN_DELETE_DAYS=20\n", "delete_old | /d | | 10 |", 20,
       "rule 'delete_old /d' age 10 raised to MIN_DELETE_DAYS=20\n"},
      {"floors never lower", "MIN_ARCHIVE_DAYS=30\n", "archive_old | /d | A | 90 |", 90, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FlooredAge floored = applyAgeFloors(parseRuleText(c.rule), configOf(c.config));
    EXPECT_EQ(floored.age, c.age);
    std::string notices;
    for (const auto& notice : floored.notices) notices += notice + "\n";
    EXPECT_EQ(notices, c.notices);
  }
}

}  // namespace
}  // namespace brimvale::service
