#include "common/base/raw_names.h"

#include <gtest/gtest.h>

#include <array>

namespace brimvale {
namespace {

enum class Colour { kRed, kGreen, kBlue };

// kBlue is left out on purpose: a lookup must fall back, not read past the end.
constexpr std::array<RawName<Colour>, 2> kColourNames{{
    {Colour::kGreen, "green"},
    {Colour::kRed, "red"},
}};

TEST(RawNames, LookupsGoByRowNotByEnumeratorNumber) {
  struct Case {
    std::string_view raw;
    std::optional<Colour> value;
  };
  const Case cases[] = {
      {"green", Colour::kGreen}, {"red", Colour::kRed}, {"blue", std::nullopt},
      {"", std::nullopt},        {"Red", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.raw));
    EXPECT_EQ(valueOfRaw(kColourNames, c.raw), c.value);
    if (c.value) {
      EXPECT_EQ(rawNameOf(kColourNames, *c.value), c.raw);
    }
  }
}

TEST(RawNames, AValueMissingFromTheTableGivesTheFirstRow) {
  EXPECT_EQ(rawNameOf(kColourNames, Colour::kBlue), "green");
}

static_assert(rawNameOf(kColourNames, Colour::kRed) == "red", "usable in constant expressions");

}  // namespace
}  // namespace brimvale
