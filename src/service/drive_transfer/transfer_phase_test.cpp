#include "service/drive_transfer/transfer_phase.h"

#include <gtest/gtest.h>

#include <set>

namespace brimvale::service {
namespace {

TEST(TransferPhase, EveryRawNameRoundTripsAndIsUnique) {
  std::set<std::string_view> seen;
  for (const auto& row : kTransferPhaseNames) {
    SCOPED_TRACE(std::string(row.raw));
    EXPECT_TRUE(seen.insert(row.raw).second) << "raw name used twice";
    EXPECT_EQ(rawPhase(row.value), row.raw);
    EXPECT_EQ(transferPhaseOf(row.raw), row.value);
  }
}

// The stored strings are read by the application and by older jobs on disk.
TEST(TransferPhase, KeepsTheStoredSpellings) {
  struct Case {
    const char* raw;
    std::optional<TransferPhase> phase;
  } cases[] = {
      {"", TransferPhase::kIdle},         {"waitingForDrive", TransferPhase::kWaitingForDrive},
      {"copied", TransferPhase::kCopied}, {"cancelling", TransferPhase::kCancelling},
      {"WaitingForDrive", std::nullopt},  {"waiting", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(transferPhaseOf(c.raw), c.phase);
  }
}

}  // namespace
}  // namespace brimvale::service
