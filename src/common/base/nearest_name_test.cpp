#include "common/base/nearest_name.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace brimvale {
namespace {

TEST(EditDistance, CountsEveryKindOfEdit) {
  struct Case {
    std::string_view a, b;
    std::size_t distance;
  };
  const Case cases[] = {
      {"", "", 0},
      {"", "abc", 3},
      {"abc", "", 3},
      {"status", "status", 0},
      {"statsu", "status", 2},
      {"instal", "install", 1},
      {"moev", "move", 2},
      {"kitten", "sitting", 3},
      {"jobs", "json", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + std::string(c.b));
    EXPECT_EQ(editDistance(c.a, c.b), c.distance);
    EXPECT_EQ(editDistance(c.b, c.a), c.distance);
  }
}

TEST(NearestName, SuggestsOnlyANameCloseEnoughToBeMeant) {
  constexpr std::array<std::string_view, 5> kKnown{"status", "json", "move", "moves",
                                                   "transfer-status"};
  struct Case {
    std::string_view typed;
    std::optional<std::string_view> meant;
  };
  const Case cases[] = {
      {"status", "status"},
      {"stauts", "status"},
      {"mvoe", "move"},
      // The first of equally near names wins, so the answer never depends on luck.
      {"mov", "move"},
      {"transfer-stats", "transfer-status"},
      {"bogus", std::nullopt},
      {"frobnicate", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.typed));
    EXPECT_EQ(nearestName(c.typed, kKnown), c.meant);
  }
}

}  // namespace
}  // namespace brimvale
