#include "apps/app_move_guards.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

TEST(EngineGuardsManagedRoot, OnlyInsideThisComputersWorkingFolder) {
  brimvale::testing::TempFolder tmp;
  const fs::path work = tmp.folder("Drive/BRIM-Annas-Mac/Apps");
  tmp.folder("Drive/BRIM-Other/Apps");
  tmp.folder("Elsewhere/X.app");
  tmp.link("Drive/BRIM-Annas-Mac/Apps/Out", tmp / "Elsewhere");
  tmp.link("Drive/Sneaky", tmp / "Drive/BRIM-Annas-Mac/Apps");
  const std::string computer = "Anna’s Mac.local";
  struct Row {
    fs::path path;
    bool allowed;
  };
  const std::vector<Row> rows{
      {work / "X.app", true},
      {work / "X.app/", true},
      {work / "Deep/er/X.app", true},
      // A link inside the folder is itself deletable; it is the link that goes.
      {work / "Out", true},
      // A link leading into the working folder resolves there.
      {tmp / "Drive/Sneaky/X.app", true},
      {tmp / "Drive/BRIM-Annas-Mac", false},
      {tmp / "Drive/BRIM-Other/Apps/X.app", false},
      {tmp / "Elsewhere/X.app", false},
      // Through a link that leads out of the working folder.
      {work / "Out/X.app", false},
      {work / "../../Elsewhere/X.app", false},
      {work / "X.app/../../../../Elsewhere", false},
      {"Drive/BRIM-Annas-Mac/Apps/X.app", false},
      {"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path.string());
    EXPECT_EQ(isUnderManagedRoot(row.path, computer), row.allowed);
  }
}

TEST(EngineGuardsQuarantineRoot, HomeQuarantineAndVolumeQuarantinesOnly) {
  brimvale::testing::TempFolder tmp;
  const fs::path home = tmp.folder("home");
  const fs::path parked = tmp.folder("home/.brimvale/quarantine/apps/com.x.2026-01-01T00-00-00Z");
  tmp.folder("home/.brimvale/quarantine/other/y");
  tmp.folder("Elsewhere/.brimvale-quarantine/apps/z");
  tmp.link("home/.brimvale/quarantine/apps/out", tmp / "Elsewhere");
  struct Row {
    fs::path path;
    bool allowed;
  };
  const std::vector<Row> rows{
      {parked, true},
      {homeQuarantineRoot(home) / "gone-already", true},
      {homeQuarantineRoot(home), false},
      {home / ".brimvale/quarantine/other/y", false},
      {homeQuarantineRoot(home) / "out/z", false},
      {homeQuarantineRoot(home) / "../other/y", false},
      // The right names, but not at the top of a volume.
      {tmp / "Elsewhere/.brimvale-quarantine/apps/z", false},
      {"relative/.brimvale-quarantine/apps/z", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path.string());
    EXPECT_EQ(isUnderQuarantineRoot(row.path, home), row.allowed);
  }
}

TEST(EngineGuardsQuarantineRoot, AnotherFileSystemUsesItsOwnVolumeRoot) {
  brimvale::testing::TempFolder tmp;
  const fs::path home = tmp.folder("home");
  brimvale::testing::TmpfsMount volume(tmp / "Volume", "8m", "0755");
  BRIMVALE_REQUIRE_DRIVE(volume);
  tmp.folder("Volume/Applications/X.app");
  const fs::path expected = tmp / "Volume" / kVolumeQuarantineFolder;
  EXPECT_EQ(volumeRootOf(tmp / "Volume/Applications/X.app"), tmp / "Volume");
  EXPECT_EQ(quarantineRootFor(tmp / "Volume/Applications/X.app", home), expected);
  fs::create_directories(expected);
  EXPECT_TRUE(isUnderQuarantineRoot(expected / "unknown.2026-01-01T00-00-00Z", home));
}

}  // namespace
}  // namespace brimvale::apps
