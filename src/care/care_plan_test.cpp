#include "care/care_plan.h"

#include <gtest/gtest.h>

#include "care/care_run.h"

namespace brimvale::care {
namespace {

using K = CareStep::Kind;

TEST(CarePlan, ReadsTheTrailingReclaimLine) {
  struct Case {
    const char* output;
    std::optional<std::int64_t> bytes;
    bool deleteDisabled;
  } cases[] = {
      {"[2026-01-01 10:00:00] reclaim: syslog\n"
       "{\"category\":\"syslog\",\"freed_bytes\":4096,\"items\":2}\n",
       4096, false},
      {"[2026-01-01 10:00:00] reclaim skip\n"
       "{\"category\":\"trash\",\"freed_bytes\":0,\"items\":0,\"skipped\":\"delete_disabled\"}\n\n",
       0, true},
      {"{\"error\":\"paused\"}\n", std::nullopt, false},
      {"{\"category\":\"photos\",\"freed_bytes\":1,\"items\":1}\n", std::nullopt, false},
      // Only the last line counts: an earlier result line is a log echo.
      {"{\"category\":\"trash\",\"freed_bytes\":9,\"items\":1}\nnot json\n", std::nullopt, false},
      {"", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    const auto figures = parseReclaimResult(c.output);
    ASSERT_EQ(figures.has_value(), c.bytes.has_value());
    if (!figures) continue;
    EXPECT_EQ(figures->bytes, *c.bytes);
    EXPECT_EQ(figures->deleteDisabled, c.deleteDisabled);
  }
}

TEST(CarePlan, ScanSizesThePlan) {
  const auto scan = parseReclaimScan(
      "{\"category\":\"devcaches\",\"freed_bytes\":0,\"items\":0}\n"
      "{\"category\":\"syslog\",\"freed_bytes\":8192,\"items\":3,\"kept_items\":2,"
      "\"kept_bytes\":100}\n"
      "{\"category\":\"trash\",\"freed_bytes\":70000000,\"items\":4,\"skipped\":\"delete_"
      "disabled\",\"kept_items\":1,\"kept_bytes\":20}\n");
  ASSERT_EQ(scan.size(), 3u);
  EXPECT_EQ(untouchedTrashBytes(scan), 70'000'000);
  const KeptByExcludes kept = keptByExcludesIn({{}, scan});
  EXPECT_EQ(kept.items, 3u);
  EXPECT_EQ(kept.bytes, 120u);

  const std::vector<CareStep> plan{{K::kCachesAndRarelyUsedFiles},
                                   CareStep::reclaim(ReclaimCategory::kDevcaches),
                                   {K::kOldLocalBackups}};
  EXPECT_EQ(sizedPlan(plan, scan),
            (std::vector<CareStep>{{K::kCachesAndRarelyUsedFiles},
                                   CareStep::reclaim(ReclaimCategory::kSyslog),
                                   {K::kOldLocalBackups}}));

  const auto deletable = parseReclaimScan(
      "{\"category\":\"trash\",\"freed_bytes\":5,\"items\":1}\n"
      "{\"category\":\"devcaches\",\"freed_bytes\":7,\"items\":1}\n");
  EXPECT_EQ(untouchedTrashBytes(deletable), 0);
  EXPECT_EQ(sizedPlan({{K::kCachesAndRarelyUsedFiles}, {K::kCloudOnlineOnly}}, deletable),
            (std::vector<CareStep>{{K::kCachesAndRarelyUsedFiles},
                                   CareStep::reclaim(ReclaimCategory::kDevcaches),
                                   CareStep::reclaim(ReclaimCategory::kTrash),
                                   {K::kCloudOnlineOnly}}));
}

}  // namespace
}  // namespace brimvale::care
