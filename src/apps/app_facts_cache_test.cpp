#include "apps/app_facts_cache.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
const BundleFacts kFacts{.sizeBytes = 123'456, .lastUsed = 1'700'000'000, .appleSigned = true};

TEST(AppFactsCache, KeepsFactsAcrossASaveAndLoad) {
  brimvale::testing::TempFolder tmp;
  const auto file = tmp / "state/app-facts.json";
  auto cache = AppFactsCache::load(file);
  cache.store("/A/Unused.app", 7, {.sizeBytes = 1}, kNow);
  cache.store("/A/Kept.app", 42, kFacts, kNow);
  cache.keepOnly({"/A/Kept.app"});
  ASSERT_TRUE(cache.save().has_value());

  const auto loaded = AppFactsCache::load(file);
  EXPECT_EQ(loaded.find("/A/Kept.app", 42, kNow), kFacts);
  EXPECT_EQ(loaded.find("/A/Unused.app", 7, kNow), std::nullopt);
}

TEST(AppFactsCache, FactsHoldOnlyForTheSameBundleVersionWhileFresh) {
  AppFactsCache cache = AppFactsCache::load("/nonexistent-for-test/app-facts.json");
  cache.store("/A/X.app", 42, kFacts, kNow);
  struct Case {
    const char* name;
    const char* bundle;
    std::int64_t modified;
    std::int64_t now;
    bool found;
  };
  const Case cases[] = {
      {"same bundle, same time", "/A/X.app", 42, kNow, true},
      {"at the age limit", "/A/X.app", 42, kNow + kFactsMaxAgeSecs, true},
      {"past the age limit", "/A/X.app", 42, kNow + kFactsMaxAgeSecs + 1, false},
      {"clock set back", "/A/X.app", 42, kNow - 1, false},
      {"bundle modified", "/A/X.app", 43, kNow, false},
      {"another bundle", "/A/Y.app", 42, kNow, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cache.find(c.bundle, c.modified, c.now).has_value(), c.found);
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
      {"another version", R"({"version":2,"bundles":{"/A/X.app":{}}})", false},
      {"an entry lacking its size",
       R"({"version":1,"bundles":{"/A/X.app":{"modifiedNanos":42,"measuredAt":1800000000}}})",
       false},
      {"a good entry beside a bad one",
       R"({"version":1,"bundles":{"/A/B.app":7,"/A/X.app":{"modifiedNanos":42,)"
       R"("measuredAt":1800000000,"sizeBytes":5,"lastUsed":"soon"}}})",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder tmp;
    tmp.file("app-facts.json", c.text);
    const auto found = AppFactsCache::load(tmp / "app-facts.json").find("/A/X.app", 42, kNow);
    ASSERT_EQ(found.has_value(), c.found);
    if (found) {
      EXPECT_EQ(*found, (BundleFacts{.sizeBytes = 5}));
    }
  }
}

}  // namespace
}  // namespace brimvale::apps
