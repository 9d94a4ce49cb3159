#include "common/state/move_scope.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

// Given a home, a drive mounted beside it and one inside it, each source gets
// the verdict of the table in each direction.
TEST(MoveScope, RefusesWhatMustNotMoveInEachDirection) {
  TempFolder t;
  const fs::path home = t.folder("home");
  const fs::path mount = t.folder("drive");
  const fs::path wf = t.folder("drive/BRIM-Test");
  t.folder("home/Old Projects");
  t.folder("home/media/usb");
  t.folder("home/.gnupg");
  t.folder("home/holder/inner-drive");
  t.folder("drive/BRIM-Test/Relocated/build");
  t.folder("drive/BRIM-Test/Relocated/other");
  t.folder("data/big");

  MoveScopeSettings s;
  s.home = home;
  s.driveMount = mount;
  s.workingFolder = wf;
  s.extraRoots = {t.path() / "data"};
  s.isMountPoint = [&](const fs::path& p) { return p == home / "media/usb"; };
  MoveScope scope(s);
  const auto recorded = [&](const fs::path& p) { return p == wf / "Relocated/build"; };

  struct Case {
    fs::path path;
    MoveDirection direction;
    std::optional<MoveRefusalReason> refused;
  } cases[] = {
      {home / "Old Projects", MoveDirection::kToDrive, {}},
      {home / "Old Projects/", MoveDirection::kToDrive, {}},
      {home / "not-there-yet", MoveDirection::kToDrive, {}},
      {t.path() / "data/big", MoveDirection::kToDrive, {}},
      {home, MoveDirection::kToDrive, MoveRefusalReason::kPath},
      {"/etc", MoveDirection::kToDrive, MoveRefusalReason::kPath},
      {"/", MoveDirection::kToDrive, MoveRefusalReason::kPath},
      {home / ".gnupg", MoveDirection::kToDrive, MoveRefusalReason::kPath},
      {home / ".brimvale", MoveDirection::kToDrive, MoveRefusalReason::kPath},
      {home / "media/usb", MoveDirection::kToDrive, MoveRefusalReason::kMountPoint},
      {mount, MoveDirection::kToDrive, MoveRefusalReason::kOnDrive},
      {wf, MoveDirection::kToDrive, MoveRefusalReason::kOnDrive},
      {wf / "Relocated/build", MoveDirection::kToDrive, MoveRefusalReason::kOnDrive},
      {wf / "Relocated/build", MoveDirection::kBackFromDrive, {}},
      {wf / "Relocated/other", MoveDirection::kBackFromDrive, MoveRefusalReason::kNotRecorded},
      {wf, MoveDirection::kBackFromDrive, MoveRefusalReason::kPath},
      {home / "Old Projects", MoveDirection::kBackFromDrive, MoveRefusalReason::kPath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string() +
                 (c.direction == MoveDirection::kToDrive ? " to the drive" : " back"));
    auto verdict = scope.check(c.path.string(), c.direction, recorded);
    if (c.refused) {
      ASSERT_FALSE(verdict.has_value());
      EXPECT_EQ(verdict.error().reason, *c.refused) << verdict.error().sentence();
      EXPECT_TRUE(verdict.error().sentence().ends_with("Nothing was changed."))
          << verdict.error().sentence();
    } else {
      ASSERT_TRUE(verdict.has_value()) << verdict.error().sentence();
      EXPECT_FALSE(verdict->string().ends_with("/"));
    }
  }
}

TEST(MoveScope, AFolderHoldingTheDriveIsRefused) {
  TempFolder t;
  const fs::path home = t.folder("home");
  t.folder("home/mnt/drive/BRIM-Test");
  MoveScopeSettings s;
  s.home = home;
  s.driveMount = home / "mnt/drive";
  s.workingFolder = home / "mnt/drive/BRIM-Test";
  s.isMountPoint = [](const fs::path&) { return false; };
  auto verdict = MoveScope(s).check((home / "mnt").string(), MoveDirection::kToDrive);
  ASSERT_FALSE(verdict.has_value());
  EXPECT_EQ(verdict.error().reason, MoveRefusalReason::kHoldsDrive);
}

}  // namespace
}  // namespace brimvale
