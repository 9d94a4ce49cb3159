#include "apps/app_facts_cache.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
const BundleFacts kFacts{.sizeBytes = 123'456,
                         .lastUsed = 1'700'000'000,
                         .appleSigned = true,
                         .info = InfoPlist{.displayName = "Kept",
                                           .identifier = "com.example.kept",
                                           .executable = "Kept",
                                           .categoryType = "public.app-category.games"}};
const BundleStamp kStamp{.bundleNanos = 42, .infoPlistNanos = 40};

TEST(AppFactsCache, KeepsFactsAcrossASaveAndLoad) {
  brimvale::testing::TempFolder tmp;
  const auto file = tmp / "state/app-facts.json";
  auto cache = AppFactsCache::load(file);
  cache.store("/A/Unused.app", {7, 7}, {.sizeBytes = 1}, kNow);
  cache.store("/A/Kept.app", kStamp, kFacts, kNow);
  cache.store("/A/Plain.app", kStamp, {.sizeBytes = 2}, kNow);
  cache.keepOnly({"/A/Kept.app", "/A/Plain.app"});
  ASSERT_TRUE(cache.save().has_value());
  const auto reloaded = AppFactsCache::load(file);
  EXPECT_EQ(reloaded.find("/A/Kept.app", kStamp, kNow), kFacts);
  // No Info.plist stays no Info.plist, not an empty one.
  EXPECT_EQ(reloaded.find("/A/Plain.app", kStamp, kNow), (BundleFacts{.sizeBytes = 2}));
  EXPECT_EQ(reloaded.find("/A/Unused.app", {7, 7}, kNow), std::nullopt);
}

TEST(AppFactsCache, FactsHoldOnlyForTheSameBundleVersionWhileFresh) {
  AppFactsCache cache = AppFactsCache::load("/nonexistent-for-test/app-facts.json");
  cache.store("/A/X.app", kStamp, kFacts, kNow);
  struct Case {
    const char* name;
    const char* bundle;
    BundleStamp stamp;
    std::int64_t now;
    bool found;
  };
  const Case cases[] = {
      {"same bundle, same time", "/A/X.app", kStamp, kNow, true},
      {"at the age limit", "/A/X.app", kStamp, kNow + kFactsMaxAgeSecs, true},
      {"past the age limit", "/A/X.app", kStamp, kNow + kFactsMaxAgeSecs + 1, false},
      {"clock set back", "/A/X.app", kStamp, kNow - 1, false},
      {"bundle modified", "/A/X.app", {43, 40}, kNow, false},
      // An Info.plist rewritten with a time older than the folder's still counts.
      {"Info.plist modified", "/A/X.app", {42, 41}, kNow, false},
      {"another bundle", "/A/Y.app", kStamp, kNow, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cache.find(c.bundle, c.stamp, c.now).has_value(), c.found);
  }
}

TEST(AppFactsCache, AnUndecodableFileOrEntryIsSkipped) {
  struct Case {
    const char* name;
    const char* text;
    bool found;
  };
  const Case cases[] = {
      {"not JSON", "{{{", false},
      {"an earlier version",
       R"({"version":2,"bundles":{"/A/X.app":{"modifiedNanos":42,"infoPlistNanos":40,)"
       R"("measuredAt":1800000000,"sizeBytes":5,"info":null}}})",
       false},
      {"an entry lacking its Info.plist answer",
       R"({"version":3,"bundles":{"/A/X.app":[42,40,1800000000,5,false,null]}})", false},
      {"an Info.plist answer of the wrong shape",
       R"({"version":3,"bundles":{"/A/X.app":[42,40,1800000000,5,false,null,["a"]]}})", false},
      {"a size that is no number",
       R"({"version":3,"bundles":{"/A/X.app":[42,40,1800000000,"5",false,null,null]}})", false},
      {"a good entry beside a bad one",
       R"({"version":3,"bundles":{"/A/B.app":7,"/A/X.app":[42,40,1800000000,5,false,null,null]}})",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder tmp;
    tmp.file("app-facts.json", c.text);
    const auto found = AppFactsCache::load(tmp / "app-facts.json").find("/A/X.app", kStamp, kNow);
    ASSERT_EQ(found.has_value(), c.found);
    if (found) {
      EXPECT_EQ(*found, (BundleFacts{.sizeBytes = 5}));
    }
  }
}

}  // namespace
}  // namespace brimvale::apps
