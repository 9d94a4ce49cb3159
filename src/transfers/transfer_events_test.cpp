#include "transfers/transfer_events.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "common/base/timestamps.h"
#include "testing/raw_name_checks.h"
#include "testing/temp_folder.h"
#include "transfers/background_jobs.h"

namespace brimvale::transfers {
namespace {

TEST(TransferEvents, StoreSkipsBadLinesAndTotalsPerDayServiceAndDirection) {
  setenv("TZ", "UTC", 1);
  tzset();
  const brimvale::testing::TempFolder tmp("transfer-events");
  std::filesystem::path dir = tmp.path();
  TransferEventStore store(dir);
  const std::time_t day1 = *parseIsots("2026-03-01T09:15:00Z");
  const std::time_t day2 = *parseIsots("2026-03-02T00:00:01Z");
  ASSERT_TRUE(store.append({day1, TransferService::kTier, TransferDirection::kOut, 100}));
  { std::ofstream(store.file(), std::ios::app) << "{not json\n{\"ts\":\"bad\"}\n"; }
  ASSERT_TRUE(store.append({day1 + 60, TransferService::kTier, TransferDirection::kOut, 50}));
  ASSERT_TRUE(store.append({day1, TransferService::kTier, TransferDirection::kIn, 7}));
  ASSERT_TRUE(store.append({day2, TransferService::kAutoSync, TransferDirection::kOut, 1}));

  auto events = store.readAll();
  ASSERT_EQ(events.size(), 4u);
  auto totals = dailyTotals(events);
  ASSERT_EQ(totals.size(), 2u);
  EXPECT_EQ(totals[0].day, "2026-03-01");
  EXPECT_EQ((totals[0].bytes[{TransferService::kTier, TransferDirection::kOut}]), 150);
  EXPECT_EQ((totals[0].bytes[{TransferService::kTier, TransferDirection::kIn}]), 7);
  EXPECT_EQ(totals[1].day, "2026-03-02");
  EXPECT_EQ((totals[1].bytes[{TransferService::kAutoSync, TransferDirection::kOut}]), 1);
}

TEST(RawNames, TransferTablesArePinnedAndAgreeWithTheConversions) {
  {
    SCOPED_TRACE("TransferService");
    brimvale::testing::expectRawNames(
        kTransferServiceNames,
        "storage_inspector tier apps_relocator auto_sync cloud_sync free_up_space unknown",
        transferServiceRaw, transferServiceFromRaw);
    // A service a newer version adds still reads, as unknown.
    EXPECT_EQ(transferServiceFromRaw("new_feature"), TransferService::kUnknown);
  }
  {
    SCOPED_TRACE("TransferDirection");
    brimvale::testing::expectRawNames(kTransferDirectionNames, "out in", transferDirectionRaw,
                                      transferDirectionFromRaw);
    EXPECT_FALSE(transferDirectionFromRaw("sideways"));
  }
  {
    SCOPED_TRACE("JobOutcome");
    brimvale::testing::expectRawNames(kJobOutcomeNames, "ok partial failed skipped", jobOutcomeRaw,
                                      jobOutcomeFromRaw);
  }
}

}  // namespace
}  // namespace brimvale::transfers
