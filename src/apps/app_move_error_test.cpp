#include "apps/app_move_error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace brimvale::apps {
namespace {

using platform::ToolFailure;

TEST(EngineErrorMessages, EveryCaseWordsItsPayload) {
  struct Row {
    EngineError error;
    std::string expected;
  };
  const std::vector<Row> rows{
      {EngineError::message("As is {text}."), "As is {text}."},
      {EngineError::withPath(EngineErrorKind::kEnumerationFailed, "/A/X.app"),
       "Couldn't enumerate /A/X.app — permission denied or path missing."},
      {EngineError::timedOut("ditto", 86399.9), "ditto timed out after 86399s. Move rolled back."},
      {EngineError::subprocessFailed("lsregister", -3, "bad"), "lsregister failed (exit -3): bad"},
      {EngineError::xattrFailed("com.brimvale.relocated", "denied"),
       "xattr com.brimvale.relocated: denied"},
      {EngineError::withPath(EngineErrorKind::kManifestNotFound, "ABC"),
       "Couldn't find a record for this app (manifest ABC)."},
      {EngineError::notCompleted("copying"),
       "Move back is only valid for completed relocations (currently: copying)."},
      {EngineError::withPath(EngineErrorKind::kNvmeCopyMissing, "/V/BRIM-Mac/Apps/X.app"),
       "The NVMe copy at /V/BRIM-Mac/Apps/X.app is missing — nothing to restore."},
      {EngineError::withPath(EngineErrorKind::kDestinationOccupied, "/A/X.app"),
       "A real app is already at /A/X.app. Delete it first if you want to overwrite, or remove "
       "the NVMe copy via the orphaned-relocation tools."},
      {EngineError::withPath(EngineErrorKind::kSourceMissing, "/A/X.app"),
       "The source bundle at /A/X.app doesn't exist. Refresh the Apps list and try again."},
      {EngineError::withPath(EngineErrorKind::kAlreadySymlink, "/A/X.app"),
       "The bundle at /A/X.app is already a symlink — it appears to be relocated. Use the Moved "
       "tab to bring it back to /Applications."},
      {EngineError::withPath(EngineErrorKind::kNotABundle, "/A/X.app"),
       "The path at /A/X.app is not a real .app bundle. Refusing to move."},
      {EngineError::withPath(EngineErrorKind::kNvmeCopyExists, "/V/X.app"),
       "There's already a copy on NVMe at /V/X.app. Run the orphaned-relocation cleanup and try "
       "again."},
      {EngineError::withPath(EngineErrorKind::kWorkingFolderMissing, "/V/BRIM-Mac"),
       "The NVMe working folder doesn't exist yet (/V/BRIM-Mac). Run the Setup Wizard to prep "
       "the drive."},
      {EngineError::countMismatch(12, 11),
       "Post-copy file count mismatch (source: 12, destination: 11). Move rolled back."},
      {EngineError::sizeMismatch(9'000'000'000LL, 8'999'000'000LL),
       "Post-copy size mismatch (source: 9000000000, destination: 8999000000 bytes). Move "
       "rolled back."},
      {EngineError::rollbackIncomplete("/q/x", "/A/X.app", "EACCES"),
       "ROLLBACK INCOMPLETE: original at /A/X.app could not be restored from quarantine at /q/x: "
       "EACCES. Your bundle is at the quarantine path — copy it back manually."},
      {EngineError::plain(EngineErrorKind::kRsyncMissing),
       "GNU rsync 3.x is required. Install via Homebrew (`brew install rsync`)."},
      {EngineError::plain(EngineErrorKind::kHashMismatch),
       "Post-copy hash mismatch — NVMe copy doesn't match the source. Move rolled back."},
      {EngineError::plain(EngineErrorKind::kAdminCancelled),
       "This app was installed by macOS and needs administrator access to move, but the "
       "password prompt was cancelled — so nothing was changed."},
  };
  std::set<std::string_view> ids;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(row.error.userMessage(), row.expected);
    EXPECT_TRUE(ids.insert(row.error.id()).second) << "ids must be distinct: " << row.error.id();
  }
  EXPECT_EQ(ids.size(), 20u);
  EXPECT_EQ(EngineError::plain(EngineErrorKind::kSourceMissing).id(), "sourceMissing");
  EXPECT_EQ(EngineError::plain(EngineErrorKind::kAdminCancelled).id(), "adminCancelled");
}

TEST(EngineErrorMessages, ToolOutputIsCutAtTwoHundredCharactersNotBytes) {
  std::string accented;
  for (int i = 0; i < 250; ++i) accented += "é";
  const std::string shown = EngineError::subprocessFailed("ditto", 1, accented).userMessage();
  const std::string prefix = "ditto failed (exit 1): ";
  ASSERT_TRUE(shown.starts_with(prefix));
  EXPECT_EQ(shown.substr(prefix.size()).size(), 400u);  // 200 two-byte characters
  EXPECT_EQ(EngineError::subprocessFailed("x", 2, "short").userMessage(),
            "x failed (exit 2): short");
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
