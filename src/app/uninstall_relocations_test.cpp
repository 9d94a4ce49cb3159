#include "app/uninstall_relocations.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "mover/manifest.h"
#include "testing/temp_home.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::StateFolder;
using brimvale::testing::TempHome;

// A home with a "drive" folder beside it; places are relocated by hand the
// way the mover and the service leave them: the data in the drive, a link at
// the old place.
struct Scene {
  TempHome home{StateFolder::kCreated};
  fs::path drive = home / "drive/BRIM-test/Relocated";

  fs::path place(const std::string& name) const { return home / name; }
  fs::path copy(const std::string& name) const { return drive / name; }

  void relocate(const std::string& name) const {
    fs::create_directories(copy(name));
    fs::create_directory_symlink(copy(name), place(name));
  }
  void moveBack(const std::string& name) const {
    fs::remove(place(name));
    fs::rename(copy(name), place(name));
  }
  void folderMove(const std::string& id, const std::string& name, mover::MovePhase phase,
                  std::time_t started) const {
    mover::MoveManifest m;
    m.id = id;
    m.src = place(name).string();
    m.dstParent = drive.string();
    m.finalDst = copy(name).string();
    m.phase = phase;
    m.startedAt = started;
    m.replaceSourceWithSymlink = true;
    fs::create_directories(home.state() / "folder-moves");
    ASSERT_TRUE(writeFileAtomically(home.state() / "folder-moves" / (id + ".json"),
                                    mover::encodeManifest(m)));
  }
  void serviceRow(const std::string& action, const std::string& name) const {
    ASSERT_TRUE(appendToFile(home.paths().actions, "2026-01-02 03:04:05\t" + action + "\t" +
                                                       place(name).string() + "\t" +
                                                       copy(name).string() + "\t100\n"));
  }
  std::vector<std::string> read() const {
    std::vector<std::string> out;
    for (const auto& item : readStillRelocated(home.paths())) {
      out.push_back((item.id.empty() ? "service" : item.id) + " " +
                    item.original.lexically_relative(home.path()).string() + " → " +
                    item.copy.lexically_relative(drive).string());
    }
    return out;
  }
};

using Lines = std::vector<std::string>;

TEST(StillRelocated, ListsOnlyPlacesWhoseLinkStillPointsAtTheCopy) {
  struct Case {
    const char* name;
    void (*arrange)(const Scene&);
    Lines expected;
  } cases[] = {
      {"a finished folder move",
       [](const Scene& s) {
         s.relocate("Videos");
         s.folderMove("A1", "Videos", mover::MovePhase::kDone, 10);
       },
       {"A1 Videos → Videos"}},
      {"a folder move that failed leaves nothing relocated",
       [](const Scene& s) {
         fs::create_directories(s.place("Videos"));
         s.folderMove("A1", "Videos", mover::MovePhase::kFailed, 10);
       },
       {}},
      {"a folder moved back",
       [](const Scene& s) {
         s.relocate("Videos");
         s.folderMove("A1", "Videos", mover::MovePhase::kDone, 10);
         s.moveBack("Videos");
       },
       {}},
      {"a link replaced by one pointing elsewhere",
       [](const Scene& s) {
         s.relocate("Videos");
         s.folderMove("A1", "Videos", mover::MovePhase::kDone, 10);
         fs::remove(s.place("Videos"));
         fs::create_directory_symlink(s.home / "elsewhere", s.place("Videos"));
       },
       {}},
      {"the service's relocation, and its archive move that left no link",
       [](const Scene& s) {
         s.relocate("Downloads");
         s.serviceRow("relocate", "Downloads");
         fs::create_directories(s.copy("Old"));
         s.serviceRow("move", "Old");
       },
       {"service Downloads → Downloads"}},
      {"a service relocation undone and made again counts once",
       [](const Scene& s) {
         s.relocate("Downloads");
         s.serviceRow("relocate", "Downloads");
         s.serviceRow("relocate", "Downloads");
       },
       {"service Downloads → Downloads"}},
      {"one place in both records counts once, as the folder move",
       [](const Scene& s) {
         s.relocate("Music");
         s.serviceRow("relocate", "Music");
         s.folderMove("B2", "Music", mover::MovePhase::kDone, 10);
       },
       {"B2 Music → Music"}},
      {"folder moves newest first, then the service's",
       [](const Scene& s) {
         s.relocate("Music");
         s.relocate("Videos");
         s.relocate("Downloads");
         s.serviceRow("relocate", "Downloads");
         s.folderMove("A1", "Videos", mover::MovePhase::kDone, 10);
         s.folderMove("B2", "Music", mover::MovePhase::kDone, 20);
       },
       {"B2 Music → Music", "A1 Videos → Videos", "service Downloads → Downloads"}},
      {"a place whose name needs escaping in the log",
       [](const Scene& s) {
         s.relocate("tab\there");
         ASSERT_TRUE(appendToFile(s.home.paths().actions, "2026-01-02 03:04:05\trelocate\t" +
                                                              s.place("tab\\there").string() +
                                                              "\t" + s.copy("tab\\there").string() +
                                                              "\t1\n"));
       },
       {"service tab\there → tab\there"}},
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
  EXPECT_TRUE(readStillRelocated(home.paths()).empty());
  EXPECT_FALSE(fs::exists(home.paths().root));
}

}  // namespace
}  // namespace brimvale::app
