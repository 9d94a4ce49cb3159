#include "common/state/rule_text.h"

#include <gtest/gtest.h>

namespace brimvale {
namespace {

TEST(RuleText, ParsesFiveTrimmedFields) {
  struct Case {
    const char* text;
    RuleText expected;
  } cases[] = {
      {"archive_old | /Users/ada/Downloads | Downloads-Archive | 90 | ",
       {"archive_old", "/Users/ada/Downloads", "Downloads-Archive", "90", "", 90}},
      {"archive_big|/x|Media|30|750", {"archive_big", "/x", "Media", "30", "750", 30}},
      // Everything after the fourth bar is the extra value.
      {"archive_big | /x | M | 3 | 1 | 2 |", {"archive_big", "/x", "M", "3", "1 | 2 |", 3}},
      {"delete_old\t|  /tmp/a b  | - |", {"delete_old", "/tmp/a b", "-", "", "", 0}},
      {"delete_old | /x | | ten", {"delete_old", "/x", "", "ten", "", 0}},
      {"delete_old | /x | | -4", {"delete_old", "/x", "", "-4", "", 0}},
      {"app_cache_clean", {"app_cache_clean", "", "", "", "", 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    RuleText r = parseRuleText(c.text);
    EXPECT_EQ(r.action, c.expected.action);
    EXPECT_EQ(r.src, c.expected.src);
    EXPECT_EQ(r.dest, c.expected.dest);
    EXPECT_EQ(r.ageText, c.expected.ageText);
    EXPECT_EQ(r.extra, c.expected.extra);
    EXPECT_EQ(r.age, c.expected.age);
  }
}

}  // namespace
}  // namespace brimvale
