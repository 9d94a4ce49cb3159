#include "service/drive_transfer/transfer_phase.h"

#include <gtest/gtest.h>

#include <set>

namespace brimvale::service {
namespace {

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
