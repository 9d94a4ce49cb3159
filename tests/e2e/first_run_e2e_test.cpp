// A fresh Linux configuration names no drive: the drive commands say how to
// choose one, the drives where Linux desktops mount them are listed, and once
// one is selected folders relocate onto it, the first move saying that the
// drive now holds the only copy.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/state/only_copy_notice.h"
#include "common/state/service_config.h"
#include "e2e_harness.h"
#include "testing/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using testing::contains;

std::string tag() { return std::to_string(getpid()); }

// /media, /run/media and /mnt are the machine's own folders unless
// scripts/in-private-mounts has put an empty tmpfs over each.
bool mountFoldersArePrivate() {
  const char* inside = std::getenv("BRIMVALE_IN_NAMESPACE");
  return inside && std::string(inside) == "1";
}

#define REQUIRE_PRIVATE_MOUNT_FOLDERS()                                        \
  do {                                                                         \
    if (!mountFoldersArePrivate()) {                                           \
      if (mountsRequired()) FAIL() << "run through scripts/in-private-mounts"; \
      GTEST_SKIP() << "run through scripts/in-private-mounts";                 \
    }                                                                          \
  } while (0)

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

TEST(FirstRunE2E, ListDrivesLooksWhereLinuxDesktopsMountThem) {
  REQUIRE_PRIVATE_MOUNT_FOLDERS();
  const std::string user = "ada" + tag();
  struct Case {
    const char* name;
    fs::path mountFolder;  // must exist for the layout to apply
    fs::path drive;
  };
  const Case cases[] = {
      {"Debian and Ubuntu desktops", "/media", "/media/" + user + "/Field Stick"},
      {"Fedora and Arch desktops", "/run/media", "/run/media/" + user + "/FAST"},
      {"mounted by hand", "/mnt", "/mnt/bv-first-run-" + tag()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!fs::is_directory(c.mountFolder)) continue;  // this system has no such folder
    TmpfsMount drive(c.drive, "8m", "0755");
    BRIMVALE_REQUIRE_DRIVE(drive);
    TempHome home;
    home.writeConfig(configTemplate());
    const ProcessResult r = runBrimVale(home, {"list-drives"}, {{"USER", user}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    bool listed = false;
    for (const auto& d : nlohmann::json::parse(r.out)) {
      if (d["path"] == c.drive.string()) {
        listed = true;
        EXPECT_EQ(d["filesystem"], "tmpfs");
        EXPECT_EQ(d["is_current"], false);
      }
    }
    EXPECT_TRUE(listed) << r.out;
    // Someone else's media folder is not this user's drive.
    if (c.drive.string().find(user) != std::string::npos) {
      const ProcessResult other = runBrimVale(home, {"list-drives"}, {{"USER", "bob" + tag()}});
      EXPECT_FALSE(contains(other.out, c.drive.string())) << other.out;
    }
  }
}

class FirstRunScene : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.writeConfig(configTemplate());
    // The files below were just written; the mover would otherwise wait for them to settle.
    fs::create_directories(home_.state());
    ASSERT_TRUE(writeFileAtomically(home_.state() / "user-defaults.json",
                                    "{\"brimvale.mover.recentWriteGuardEnabled\": false}"));
    fs::create_symlink(BRIM_VALE_PATH, home_.path() / ".brimvale" / "brim-vale");
    write(home_.path() / "Projects" / "notes.txt", "first");
    write(home_.path() / "Projects" / "deep" / "data.bin", std::string(50000, 'd'));
    write(home_.path() / "Photos" / "one.jpg", std::string(30000, 'p'));
    write(home_.path() / "Music" / "song.ogg", std::string(20000, 's'));
  }
  ProcessResult service(const std::vector<std::string>& args) const {
    return runBrimVale(home_, args);
  }

  TmpfsDrive drive_{"first-run-" + tag() + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name()};
  TempHome home_;
};

// Given a fresh configuration, then every command that needs the drive says in
// one sentence how to choose one, exits 1 and changes nothing; then `brimvale
// drives select` takes a drive, folders relocate onto it, and only the first
// relocation says the drive now holds the only copy (the service's and the
// application's alike).
TEST_F(FirstRunScene, NoDriveSaysHowToChooseOneThenOnlyTheFirstMoveSaysTheOnlyCopy) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  const fs::path projects = home_.path() / "Projects";
  const auto before = userView(projects);
  struct Case {
    const char* name;
    bool app;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"brim-vale move-dir", false, {"move-dir", projects.string()}},
      {"brim-vale transfer-start",
       false,
       {"transfer-start", "backup", drive_.path().string(), "1"}},
      {"brimvale move", true, {"move", "--yes", projects.string()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = c.app ? runApp(home_, c.args) : service(c.args);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.err, std::string(noDriveChosenMessage()) + "\n");
    EXPECT_FALSE(contains(r.out + r.err, "/Volumes/NVMe"));
  }
  EXPECT_EQ(lostEntries(before, userView(projects)), 0);
  EXPECT_FALSE(fs::is_symlink(projects));
  EXPECT_TRUE(fs::is_empty(drive_.path()));

  ProcessResult r = runApp(home_, {"drives", "select", drive_.path().string()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Updated NVMe path to: " + drive_.path().string())) << r.out;
  r = service({"recover"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  struct Move {
    const char* folder;
    const char* file;
    bool app;
    bool toldOnlyCopy;
  };
  const Move moves[] = {
      {"Projects", "notes.txt", false, true},
      {"Photos", "one.jpg", false, false},
      {"Music", "song.ogg", true, false},
  };
  for (const auto& c : moves) {
    SCOPED_TRACE(c.folder);
    const fs::path folder = home_.path() / c.folder;
    const auto before = userView(folder);
    r = c.app ? runApp(home_, {"move", "--yes", "--verify", "fast", folder.string()})
              : service({"move-dir", folder.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // The service links the folder, the application each file: either way it reads from the drive.
    EXPECT_TRUE(fs::canonical(folder / c.file).string().starts_with(drive_.path().string()));
    EXPECT_EQ(lostEntries(before, userView(folder)), 0);
    EXPECT_EQ(contains(r.out, std::string(kOnlyCopyNotice)), c.toldOnlyCopy) << r.out;
  }
  const auto queued = readLastLines(home_.state() / "notifications.queue", 50);
  const auto told = std::count_if(queued.begin(), queued.end(), [](const std::string& line) {
    return contains(line, std::string(kOnlyCopyTitle));
  });
  EXPECT_EQ(told, 1);
}

// Given a chosen drive and no status snapshot yet, then prep-drive checks and
// lays out that drive; given a damaged snapshot, then `brimvale move` still
// moves onto it: the configuration names the drive, the snapshot only caches.
TEST_F(FirstRunScene, TheConfiguredDriveIsUsedWhateverTheSnapshotSays) {
  BRIMVALE_REQUIRE_DRIVE(drive_);
  ASSERT_EQ(runApp(home_, {"drives", "select", drive_.path().string()}).exitCode, 0);
  fs::remove(home_.paths().statusJson);
  const fs::path working = drive_.path() / thisWorkingFolderName();

  // Another computer's folder on the chosen drive is noticed before anything is laid out.
  write(drive_.path() / "BRIM-Kitchen" / ".hollin-managed", "created=1\n");
  ProcessResult r = runApp(home_, {"prep-drive", "--auto"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, drive_.path().string() + " already holds another computer's"))
      << r.err;
  EXPECT_FALSE(fs::exists(working));
  fs::remove_all(drive_.path() / "BRIM-Kitchen");

  r = runApp(home_, {"prep-drive", "--auto"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Brimvale will lay out " + working.string())) << r.out;
  EXPECT_FALSE(contains(r.out + r.err, "/Volumes/NVMe"));
  EXPECT_TRUE(fs::exists(working / ".hollin-managed"));

  ASSERT_TRUE(writeFileAtomically(home_.paths().statusJson, "{\"nvme_path\":\"/Vol"));
  const fs::path projects = home_.path() / "Projects";
  const auto before = userView(projects);
  r = runApp(home_, {"move", "--yes", "--verify", "fast", projects.string()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(fs::canonical(projects / "notes.txt").string().starts_with(working.string()));
  EXPECT_EQ(lostEntries(before, userView(projects)), 0);
}

}  // namespace
}  // namespace brimvale::e2e
