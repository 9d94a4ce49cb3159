#include "apps/app_move_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brimvale::apps {
namespace {

using platform::ToolFailure;

// The slots of each sentence take the payload fields their case names.
TEST(EngineErrorMessages, SlotsTakeTheirOwnPayload) {
  struct Row {
    EngineError error;
    std::string expected;
  };
  const std::vector<Row> rows{
      // A payload that looks like a slot is text, not a slot.
      {EngineError::message("As is {text}."), "As is {text}."},
      {EngineError::withPath(EngineErrorKind::kSourceMissing, "/A/{name}.app"),
       "The source bundle at /A/{name}.app doesn't exist. Refresh the Apps list and try again."},
      {EngineError::timedOut("ditto", 86399.9), "ditto timed out after 86399s. Move rolled back."},
      {EngineError::subprocessFailed("lsregister", -3, "bad"), "lsregister failed (exit -3): bad"},
      {EngineError::notCompleted("copying"),
       "Move back is only valid for completed relocations (currently: copying)."},
      {EngineError::rollbackIncomplete("/q/x", "/A/X.app", "EACCES"),
       "ROLLBACK INCOMPLETE: original at /A/X.app could not be restored from quarantine at /q/x: "
       "EACCES. Your bundle is at the quarantine path — copy it back manually."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(row.error.userMessage(), row.expected);
  }
}

TEST(EngineErrorMessages, ToolOutputIsCutAtTwoHundredCharactersNotBytes) {
  std::string accented;
  for (int i = 0; i < 250; ++i) accented += "é";
  const std::string shown = EngineError::subprocessFailed("ditto", 1, accented).userMessage();
  const std::string prefix = "ditto failed (exit 1): ";
  ASSERT_TRUE(shown.starts_with(prefix));
  EXPECT_EQ(shown.substr(prefix.size()).size(), 400u);  // 200 two-byte characters
}

TEST(EngineErrorMessages, ToolFailuresMapToTheirCases) {
  struct Row {
    ToolFailure failure;
    EngineErrorKind kind;
    std::string message;
  };
  const std::vector<Row> rows{
      {{ToolFailure::Kind::kTimedOut, "lsregister", 0, {}, std::chrono::seconds{15}},
       EngineErrorKind::kTimedOut,
       "lsregister timed out after 15s. Move rolled back."},
      {{ToolFailure::Kind::kExited, "ditto", 23, "No space left on device", {}},
       EngineErrorKind::kSubprocessFailed,
       "ditto failed (exit 23): No space left on device"},
      {{ToolFailure::Kind::kFailedToStart, "mdls", 0, "no such program", {}},
       EngineErrorKind::kMessage,
       "mdls could not be started (no such program), so nothing was changed by it."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const EngineError error = engineErrorOf(row.failure);
    EXPECT_EQ(error.kind, row.kind);
    EXPECT_EQ(error.userMessage(), row.message);
  }
}

}  // namespace
}  // namespace brimvale::apps
