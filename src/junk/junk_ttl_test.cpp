#include "junk/junk_ttl.h"

#include <gtest/gtest.h>

#include "testing/raw_name_checks.h"

namespace brimvale::junk {
namespace {

TEST(JunkTTL, TableHoldsEveryLifetimeWithItsLabelLengthAndHeading) {
  struct Row {
    std::string_view raw, label;
    long seconds;
    std::string_view group;
  };
  const Row expected[] = {
      {"m5", "5 min", 300, "Minutes"},         {"m15", "15 min", 900, "Minutes"},
      {"m30", "30 min", 1800, "Minutes"},      {"m45", "45 min", 2700, "Minutes"},
      {"h1", "1 hour", 3600, "Hours"},         {"h2", "2 hours", 7200, "Hours"},
      {"h3", "3 hours", 10800, "Hours"},       {"h6", "6 hours", 21600, "Hours"},
      {"h12", "12 hours", 43200, "Hours"},     {"d1", "1 day", 86400, "Days"},
      {"d2", "2 days", 172800, "Days"},        {"d3", "3 days", 259200, "Days"},
      {"d4", "4 days", 345600, "Days"},        {"d5", "5 days", 432000, "Days"},
      {"d6", "6 days", 518400, "Days"},        {"w1", "1 week", 604800, "Weeks"},
      {"w2", "2 weeks", 1209600, "Weeks"},     {"w3", "3 weeks", 1814400, "Weeks"},
      {"w4", "4 weeks", 2419200, "Weeks"},     {"mo1", "1 month", 2592000, "Months"},
      {"mo2", "2 months", 5184000, "Months"},  {"mo3", "3 months", 7776000, "Months"},
      {"mo6", "6 months", 15552000, "Months"},
  };
  ASSERT_EQ(std::size(expected), junkTTLTable().size());
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].raw);
    const auto& row = junkTTLTable()[i];
    EXPECT_EQ(row.raw, expected[i].raw);
    EXPECT_EQ(row.label, expected[i].label);
    EXPECT_EQ(row.seconds, expected[i].seconds);
    EXPECT_EQ(junkTTLGroupRaw(row.group), expected[i].group);
    EXPECT_EQ(junkTTLFromRaw(row.raw), row.ttl);
    EXPECT_EQ(junkTTLRaw(row.ttl), row.raw);
  }
  EXPECT_EQ(junkTTLFromRaw("d7"), std::nullopt);
}

TEST(JunkTTL, GroupNamesRoundTripAndEachHeadingListsItsLifetimes) {
  testing::expectRawNames(
      junkTTLGroupNames(), "Minutes Hours Days Weeks Months", junkTTLGroupRaw,
      [](std::string_view raw) { return valueOfRaw(junkTTLGroupNames(), raw); });
  EXPECT_EQ(junkTTLsIn(JunkTTLGroup::kWeeks),
            (std::vector{JunkTTL::kW1, JunkTTL::kW2, JunkTTL::kW3, JunkTTL::kW4}));
  std::size_t total = 0;
  for (const auto& group : junkTTLGroupNames()) total += junkTTLsIn(group.value).size();
  EXPECT_EQ(total, 23u);
}

}  // namespace
}  // namespace brimvale::junk
