#include "common/state/drive_transfer_job.h"

#include <gtest/gtest.h>

namespace brimvale {
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

// Every program reads the job through this; a job file written by hand or
// cut short must read as "nothing" or as empty fields, never throw.
TEST(DriveTransferJob, ReadsTolerantly) {
  struct Case {
    const char* name;
    const char* text;
    bool readable;
    std::optional<TransferPhase> phase;
    std::int64_t percent;
  } cases[] = {
      {"a running copy", R"({"phase":"copying","percent":42,"sourceRoot":"/a"})", true,
       TransferPhase::kCopying, 42},
      {"no phase is idle", R"({"sourceRoot":"/a"})", true, TransferPhase::kIdle, 0},
      {"an unknown phase", R"({"phase":"teleporting"})", true, std::nullopt, 0},
      {"wrong types read as empty", R"({"phase":7,"percent":"most"})", true, TransferPhase::kIdle,
       0},
      {"cut short", R"({"phase":"copy)", false, std::nullopt, 0},
      {"not an object", R"(["copying"])", false, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto job = parseDriveTransferJob(c.text);
    ASSERT_EQ(job.has_value(), c.readable);
    if (!job) continue;
    EXPECT_EQ(job->phase, c.phase);
    EXPECT_EQ(job->percent, c.percent);
  }
}

}  // namespace
}  // namespace brimvale
