#include "apps/app_catalogue_entry.h"

#include <gtest/gtest.h>

#include <set>

namespace brimvale::apps {
namespace {

TEST(AppCatalogueEntry, EveryCategoryRoundTripsThroughItsTypeAndRawName) {
  std::set<std::string_view> raws;
  for (const auto& row : kAppCategories) {
    SCOPED_TRACE(row.raw);
    EXPECT_TRUE(raws.insert(row.raw).second) << "raw names must be unique";
    EXPECT_EQ(categoryOfRawName(categoryRawName(row.value)), row.value);
    EXPECT_EQ(categoryOfType("public.app-category." + std::string(row.raw)), row.value);
    EXPECT_FALSE(categoryTitle(row.value).empty());
  }
}

TEST(AppCatalogueEntry, CategoryTypesOutsideTheTableLeaveNoCategory) {
  struct Case {
    const char* type;
    std::optional<AppCategory> expected;
  };
  const Case cases[] = {
      {"public.app-category.developer-tools", AppCategory::kDeveloperTools},
      {"public.app-category.healthcare-fitness", AppCategory::kHealthcareFitness},
      {"public.app-category.", std::nullopt},
      {"public.app-category.kids-games", std::nullopt},
      {"public.app-category.Games", std::nullopt},
      {"games", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(categoryOfType(c.type), c.expected);
  }
}

TEST(AppCatalogueEntry, TitlesReadAsAPersonWouldWriteThem) {
  EXPECT_EQ(categoryTitle(AppCategory::kGraphicsDesign), "Graphics & Design");
  EXPECT_EQ(categoryTitle(AppCategory::kHealthcareFitness), "Health & Fitness");
  EXPECT_EQ(categoryTitle(AppCategory::kSocialNetworking), "Social Networking");
  EXPECT_EQ(locationTitle(AppsLocationFilter::kAll), "All Apps");
  EXPECT_EQ(locationTitle(AppsLocationFilter::kInternalDisk), "Internal");
  EXPECT_EQ(locationTitle(AppsLocationFilter::kOffloaded), "Offloaded");
}

TEST(AppCatalogueEntry, LocationsAndSortOrdersRoundTripThroughTheirNames) {
  for (const auto& row : kAppsLocations) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(locationOfRawName(row.raw), row.value);
  }
  for (const auto& row : kAppsSortOrderNames) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(valueOfRaw(kAppsSortOrderNames, rawNameOf(kAppsSortOrderNames, row.value)),
              row.value);
  }
  EXPECT_EQ(locationOfRawName("everywhere"), std::nullopt);
}

}  // namespace
}  // namespace brimvale::apps
