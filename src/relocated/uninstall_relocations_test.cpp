#include "relocated/uninstall_relocations.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "apps/app_move_store.h"
#include "common/base/file_io.h"
#include "mover/manifest.h"
#include "testing/base/temp_folder.h"
#include "testing/base/temp_home.h"

namespace brimvale::relocated {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::StateFolder;
using brimvale::testing::TempHome;

constexpr const char* kComputer = "Test Mac";

// A home and a drive folder beside it, named by the configuration;
// relocations are laid out the way the movers leave them.
struct Scene {
  TempHome home{StateFolder::kCreated};
  brimvale::testing::TempFolder driveRoot{"bv-drive"};
  fs::path drive = driveRoot.path();
  fs::path working = workingFolderFor(drive, kComputer);
  bool mounted = true;

  Scene() { home.writeConfig("NVMe=\"" + drive.string() + "\"\n"); }
  fs::path copy(const std::string& name) const { return working / "Relocated" / name; }

  mover::MoveManifest record(const std::string& id, const fs::path& src, const fs::path& dst,
                             bool links) const {
    mover::MoveManifest m;
    m.id = id;
    m.src = src.string();
    m.dstParent = dst.parent_path().string();
    m.finalDst = dst.string();
    m.phase = mover::MovePhase::kDone;
    m.replaceSourceWithSymlink = links;
    mover::ManifestStore(home.state(), {}, systemClock()).save(m);
    return m;
  }
  // The folder mover's relocation: each file of the folder a link to its copy.
  void relocatePerFile(const std::string& name) const {
    fs::create_directories(copy(name));
    std::ofstream(copy(name) / "a.txt") << "a";
    fs::create_directories(home / name);
    fs::create_symlink(copy(name) / "a.txt", home / name / "a.txt");
    record("A1B2C3D4-0000-4000-8000-000000000001", home / name, copy(name), true);
  }
  // The service's relocation: the folder itself a link; no record of the app's.
  void relocateWhole(const std::string& name) const {
    fs::create_directories(copy(name));
    fs::create_directory_symlink(copy(name), home / name);
  }
  void moveAnApp() const {
    apps::AppMoveManifest m;
    m.id = "0A0B0C0D-0000-4000-8000-000000000002";
    m.originalPath = (home / "Applications/Tool.app").string();
    m.nvmePath = (working / "Apps/Tool.app").string();
    m.displayName = "Tool";
    m.phase = apps::AppMovePhase::kDone;
    apps::AppManifestStore(
        home.paths().appMovesFolder, [](const std::string&) {}, systemClock())
        .save(m);
  }
  std::vector<std::string> read() const {
    std::vector<std::string> out;
    const auto check =
        readStillRelocated(home.paths(), kComputer, [this](const fs::path&) { return mounted; });
    for (const auto& item : check.items) {
      out.push_back(item.original.lexically_relative(home.path()).string() + ": " + item.command);
    }
    EXPECT_EQ(check.incomplete, "");
    return out;
  }
};

using Lines = std::vector<std::string>;

TEST(StillRelocated, ListsEveryFolderAndAppAwayWithTheCommandThatBringsItHome) {
  struct Case {
    const char* name;
    std::function<void(Scene&)> arrange;
    Lines expected;
  } cases[] = {
      {"a folder relocated file by file",
       [](Scene& s) { s.relocatePerFile("Projects"); },
       {"Projects: brimvale relocated move-back A1B2C3D4"}},
      {"the service's folder link, the drive unplugged",
       [](Scene& s) {
         s.relocateWhole("Data");
         s.mounted = false;
         fs::remove_all(s.copy("Data"));
       },
       {"Data: brimvale panic-recovery"}},
      {"an app on the drive",
       [](Scene& s) { s.moveAnApp(); },
       {"Applications/Tool.app: brimvale apps move-back 0A0B0C0D-0000-4000-8000-000000000002"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene;
    c.arrange(scene);
    EXPECT_EQ(scene.read(), c.expected);
  }
}

// Listing before anything was installed must not create the state folder:
// `uninstall` runs there too.
TEST(StillRelocated, ReadingCreatesNothing) {
  TempHome home(StateFolder::kAbsent);
  EXPECT_TRUE(readStillRelocated(home.paths(), kComputer).items.empty());
  EXPECT_FALSE(fs::exists(home.paths().root));
}

}  // namespace
}  // namespace brimvale::relocated
