#include "junk/junk_ttl.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace brimvale::junk {
namespace {

// Every lifetime reads back from its name and sits under its heading; spot checks of the
// lengths at each unit's edges.
TEST(JunkTTL, EveryLifetimeRoundTripsUnderItsHeading) {
  std::size_t grouped = 0;
  for (const auto& group : junkTTLGroupNames()) grouped += junkTTLsIn(group.value).size();
  EXPECT_EQ(grouped, junkTTLTable().size());
  for (const auto& row : junkTTLTable()) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(junkTTLFromRaw(row.raw), row.ttl);
    EXPECT_EQ(junkTTLRaw(row.ttl), row.raw);
    const auto in = junkTTLsIn(row.group);
    EXPECT_NE(std::find(in.begin(), in.end(), row.ttl), in.end());
  }
  struct Row {
    std::string_view raw, label;
    long seconds;
    std::string_view group;
  };
  for (const Row& expected :
       {Row{"m5", "5 min", 300, "Minutes"}, Row{"h12", "12 hours", 43200, "Hours"},
        Row{"d1", "1 day", 86400, "Days"}, Row{"w4", "4 weeks", 2419200, "Weeks"},
        Row{"mo6", "6 months", 15552000, "Months"}}) {
    SCOPED_TRACE(expected.raw);
    const auto ttl = junkTTLFromRaw(expected.raw);
    ASSERT_TRUE(ttl);
    const auto row = std::find_if(junkTTLTable().begin(), junkTTLTable().end(),
                                  [&](const auto& r) { return r.ttl == *ttl; });
    EXPECT_EQ(row->label, expected.label);
    EXPECT_EQ(row->seconds, expected.seconds);
    EXPECT_EQ(junkTTLGroupRaw(row->group), expected.group);
  }
  EXPECT_EQ(junkTTLsIn(JunkTTLGroup::kWeeks),
            (std::vector{JunkTTL::kW1, JunkTTL::kW2, JunkTTL::kW3, JunkTTL::kW4}));
  EXPECT_EQ(junkTTLFromRaw("d7"), std::nullopt);
}

}  // namespace
}  // namespace brimvale::junk
