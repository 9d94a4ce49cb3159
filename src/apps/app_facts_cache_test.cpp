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

}  // namespace
}  // namespace brimvale::apps
