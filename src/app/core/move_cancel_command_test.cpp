#include "app/core/move_cancel_command.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "testing/base/temp_folder.h"
#include "testing/platform/fake_launcher.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using platform::testing::FakeLauncher;
using platform::testing::FakeProcesses;
using Result = mover::OwnerCancel::Result;

struct CancelRig {
  brimvale::testing::TempFolder root{"bv-cancel"};
  StatePaths paths = StatePaths::forHome(root / "home");
  platform::AppPlatform host;
  std::ostringstream out, err;
  std::istringstream in;
  FakeProcesses procs;
  FakeLauncher launcher{procs};
  MoverCommandContext c{paths, host, nullptr, "Test Mac", out, err, in, false, &launcher};

  mover::MoveManifest record(mover::MovePhase phase, std::optional<mover::MoveOwner> owner) {
    mover::MoveManifest m;
    m.id = "0A1B2C3D-0000-4000-8000-000000000001";
    m.src = (paths.home / "Projects").string();
    m.dstParent = (root / "Drive" / "Relocated").string();
    m.finalDst = m.dstParent + "/Projects";
    m.startedAt = 1772356500;
    m.phase = phase;
    m.lastError = phase == mover::MovePhase::kCancelled
                      ? std::optional<std::string>("Cancelled by user.")
                      : std::nullopt;
    m.owner = std::move(owner);
    return m;
  }
};

// Given how the owner's stop ended, then the user reads whether the move
// stopped and their data is safe, on the right stream with the right status.
TEST(ReportOwnerCancel, SaysHowTheMoveEndedAndExitsAccordingly) {
  using mover::MovePhase;
  struct Case {
    const char* name;
    Result result;
    MovePhase finalPhase;
    bool partialCopyLeft;
    std::optional<int> status;
    bool onOut;
    const char* says;
  } cases[] = {
      {"cancelled, copy removed", Result::kSettled, MovePhase::kCancelled, false, 0, true,
       "Your original is where it was, untouched, and the partial copy on the drive was "
       "removed."},
      {"finished first", Result::kSettled, MovePhase::kDone, false, 1, false,
       "so it finished: every file is on the drive with a link in its place. Your data is safe; "
       "to bring it back, run `brimvale moves revert 0A1B2C3D`."},
      {"replacing files with links", Result::kFinishing, MovePhase::kCleaningUp, false, 1, false,
       "so it goes on to the end. Your data is safe. Run `brimvale moves` to see when it is "
       "done."},
      {"still running", Result::kStillRunning, MovePhase::kCopying, false, 1, false,
       "(pid 777) to stop, but it is still running after 30 seconds. Your original is safe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CancelRig rig;
    const auto before = rig.record(MovePhase::kCopying, mover::MoveOwner{777, "t"});
    if (c.partialCopyLeft) fs::create_directories(before.finalDst);
    mover::OwnerCancel outcome{c.result, 777, rig.record(c.finalPhase, std::nullopt), {}};
    EXPECT_EQ(reportOwnerCancel(rig.c, before, outcome), c.status);
    const std::string said = (c.onOut ? rig.out : rig.err).str();
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ((c.onOut ? rig.err : rig.out).str(), "");
  }
}

}  // namespace
}  // namespace brimvale::app
