// 6-panic-recovery against real relocations on a tmpfs drive: a folder the
// service relocated (its original parked beside the link), one whose parked
// original was confirmed and deleted, and two the folder mover relocated all
// come home byte for byte, leaving no link into the drive; a second run changes nothing; too
// little room at home is refused up front.
#include <gtest/gtest.h>

#include "background_app.h"
#include "common/base/file_io.h"
#include "e2e_harness.h"
#include "sandbox_files.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

// Links below `root` (Brimvale's own state aside) that lead into `drive`.
int linksInto(const fs::path& root, const fs::path& drive) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename() == ".brimvale") it.disable_recursion_pending();
    if (!it->is_symlink(ec)) continue;
    const fs::path target =
        (it->path().parent_path() / fs::read_symlink(it->path(), ec)).lexically_normal();
    if (target.string().starts_with(drive.string() + "/")) ++n;
  }
  return n;
}

// A home on its own tmpfs (so its free space is the test's to choose) with
// four folders relocated to a tmpfs drive: one by the service's move-dir,
// its original parked; two by `brimvale move`; one by move-dir whose parked
// original was confirmed and deleted.
class PanicScene : public ::testing::Test {
 protected:
  PanicScene()
      : homeDisk_(home_.path(), "48m"),
        drive_("e2e-panic-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(getpid())) {}

  void SetUp() override {
    BRIMVALE_REQUIRE_DRIVE(homeDisk_);
    BRIMVALE_REQUIRE_DRIVE(drive_);
    home_.writeConfig(configWithDrive(drive_.path()));
    (void)prepareDrive(home_, drive_.path());
    ASSERT_TRUE(writeFileAtomically(home_.state() / "user-defaults.json",
                                    "{\"brimvale.mover.recentWriteGuardEnabled\": false}"));
    for (const auto& folder : folders_) writeAwkwardTree(home_ / folder, 20, 40'000);
    for (const auto& folder : folders_) seen_.push_back(userView(home_ / folder));
    const ProcessResult parked = runBrimVale(home_, {"move-dir", (home_ / folders_[0]).string()});
    ASSERT_EQ(parked.exitCode, 0) << parked.out << parked.err;
    // Its original deleted once confirmed, this one is only a link into the drive.
    const fs::path confirmed = home_ / folders_[3];
    ASSERT_EQ(runBrimVale(home_, {"move-dir", confirmed.string()}).exitCode, 0);
    const ProcessResult deleted =
        runApp(home_, {"parked", "confirm", confirmed.string() + ".hollin-old", "--yes"});
    ASSERT_EQ(deleted.exitCode, 0) << deleted.out << deleted.err;
    for (const auto& folder : {folders_[1], folders_[2]}) {
      const ProcessResult moved = runApp(home_, {"move", (home_ / folder).string(), "--yes"});
      ASSERT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    }
    ASSERT_GT(linksInto(home_.path(), drive_.path()), 2) << "a folder link and file links";
  }

  [[nodiscard]] ProcessResult panic(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args{"panic-recovery", "--yes"};
    args.insert(args.end(), extra.begin(), extra.end());
    return runApp(home_, args);
  }
  // Files of the four folders missing or changed at their paths.
  [[nodiscard]] int lost() const {
    int n = 0;
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      n += lostEntries(seen_[i], userView(home_ / folders_[i]));
    }
    return n;
  }
  [[nodiscard]] TreeSums userFiles() const {
    TreeSums sums = treeSums(home_.path(), Folders::kListed);
    std::erase_if(sums, [](const auto& e) { return e.first.starts_with(".brimvale"); });
    return sums;
  }
  void expectEverythingHome() const {
    EXPECT_EQ(lost(), 0);
    EXPECT_EQ(linksInto(home_.path(), drive_.path()), 0);
    for (const auto& folder : folders_) {
      EXPECT_FALSE(fs::is_symlink(home_ / folder)) << folder;
      EXPECT_FALSE(fs::exists(home_ / (folder + ".hollin-old"))) << folder;
    }
    EXPECT_FALSE(fs::exists(home_.state() / "paused")) << "the service runs again afterwards";
  }

  TempHome home_;
  TmpfsMount homeDisk_;
  TmpfsDrive drive_;
  std::vector<std::string> folders_{"Projects/Caf\xc3\xa9 'one'", "Music \"two\"", "Work/three",
                                    "Games/f\xc3\xbcnf \"four\""};
  std::vector<TreeView> seen_;
};

// Given too little room at home, then the run is refused before anything
// changes; given room, then every byte comes home and a second run changes
// nothing.
TEST_F(PanicScene, RefusedWithoutRoomThenBringsEveryByteHomeAndASecondRunChangesNothing) {
  // The mover relocations and the confirmed one bring back 2.4 MB; leave 1 MB free.
  const auto info = fs::space(home_.path());
  ASSERT_TRUE(
      writeFileAtomically(home_ / "filler.bin", std::string(info.available - 1'000'000, 'f')));
  const TreeSums before = treeSums(home_.path(), Folders::kListed);
  const TreeSums driveBefore = treeSums(drive_.path(), Folders::kListed);
  const ProcessResult refused = panic();
  EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
  EXPECT_NE(refused.err.find("Nothing was changed"), std::string::npos) << refused.err;
  EXPECT_EQ(treeSums(home_.path(), Folders::kListed), before);
  EXPECT_EQ(treeSums(drive_.path(), Folders::kListed), driveBefore);
  fs::remove(home_ / "filler.bin");

  const ProcessResult r = panic();
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Everything is home."), std::string::npos) << r.out;
  expectEverythingHome();

  const TreeSums after = userFiles();
  const ProcessResult again = panic();
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("Nothing is waiting on the drive"), std::string::npos) << again.out;
  EXPECT_EQ(userFiles(), after);
}

}  // namespace
}  // namespace brimvale::e2e
