// move-dir, archiving through relocate-now, rollback and recover, run as the
// real program against a temporary home, real rsync and tmpfs drives.
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

std::string driveNameOf(const std::string& what) {
  return "e2e-" + what + "-" + std::to_string(getpid());
}

using brimvale::testing::contains;

// Given a drive that is absent or a folder already on it, then move-dir
// refuses with its own exit code; given a folder, then it copies, parks and
// links it, and a second folder of the same name lands beside the first.
TEST(RelocationE2E, MoveDirRefusesBadSourcesThenCopiesParksAndLinks) {
  TmpfsDrive drive(driveNameOf("movedir"));
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  home.writeConfig(configWithDrive(drive.path()));
  const fs::path base = prepareDrive(home, drive.path());
  const fs::path folder = home.path() / "a folder";
  fs::create_directories(folder);
  fs::create_directories(base / "on the drive");
  const fs::path notMounted = drive.path().string() + "-absent";

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    std::string message;
    fs::path nvme;
  };
  const Case cases[] = {
      {"drive absent",
       {"move-dir", folder.string()},
       3,
       "ERR: NVMe not mounted at " + notMounted.string() + "\n",
       notMounted},
      {"on the drive",
       {"move-dir", (base / "on the drive").string()},
       2,
       "ERR: path is already on NVMe: " + (base / "on the drive").string() + "\n",
       drive.path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    home.writeConfig(configWithDrive(c.nvme));
    ProcessResult r = runBrimVale(home, c.args);
    EXPECT_EQ(r.exitCode, c.code);
    EXPECT_EQ(r.out, c.message);
  }
  home.writeConfig(configWithDrive(drive.path()));
  const fs::path src = home.path() / "Project \"Ünïcode\" files";
  for (const auto& name : awkwardNames()) writeAgedFile(src / "nested dir" / name, name, 0);
  fs::create_symlink("nested dir/plain.txt", src / "link to plain");

  ProcessResult r = runBrimVale(home, {"move-dir", src.string()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  const fs::path target = base / "Relocated" / src.filename();
  const fs::path parked = src.string() + ".hollin-old";
  EXPECT_TRUE(fs::is_symlink(src));
  EXPECT_EQ(fs::read_symlink(src), target);
  for (const auto& name : awkwardNames()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(readFile(target / "nested dir" / name).value_or("?"), name);
    EXPECT_EQ(readFile(src / "nested dir" / name).value_or("?"), name);  // through the link
    EXPECT_EQ(readFile(parked / "nested dir" / name).value_or("?"), name);
  }
  EXPECT_TRUE(fs::is_symlink(target / "link to plain"));
  auto rows = actionRows(home);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(contains(rows[0], "\trelocate\t" + src.string() + "\t" + target.string() + "\t"));
  auto batch = readFile(home.state() / "last-batch.tsv").value_or("");
  EXPECT_TRUE(batch.starts_with("relocate\t" + src.string() + "\t"));

  // A second folder of the same name lands beside the first; its parking
  // place is taken too, so it gets a stamped name.
  fs::remove(src);
  fs::create_directories(src / "again");
  ProcessResult second = runBrimVale(home, {"move-dir", src.string() + "/"});
  ASSERT_EQ(second.exitCode, 0) << second.out;
  const fs::path secondTarget = fs::read_symlink(src);
  EXPECT_TRUE(secondTarget.filename().string().starts_with(src.filename().string() + "."));
  EXPECT_TRUE(fs::exists(secondTarget / "again"));
  EXPECT_TRUE(fs::exists(target / "nested dir")) << "the first relocation is untouched";
  EXPECT_TRUE(contains(second.out, "Original parked at:        " + parked.string() + "."));
}

TEST(RelocationE2E, ArchivingSkipsLocksAndAvoidsCollisionsAndRollsBack) {
  TmpfsDrive drive(driveNameOf("archive"));
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  const fs::path downloads = home.path() / "Downloads";
  home.writeConfig(configWithDrive(
      drive.path(),
      "RULES=(\n  \"archive_old | $HOME/Downloads | Downloads-Archive | 30 | \"\n)\n"));
  const fs::path base = prepareDrive(home, drive.path());
  const fs::path archive = base / "Downloads-Archive";
  const std::string month = formatLocal(std::time(nullptr), "%Y-%m");
  writeAgedFile(archive / "report.pdf", "old one", 90);
  writeAgedFile(archive / month / "report.pdf", "older one", 90);
  writeAgedFile(archive / "memo.txt", "earlier memo", 90);

  writeAgedFile(downloads / "report.pdf", "new report", 40);
  writeAgedFile(downloads / "memo.txt", "new memo", 40);
  for (const auto& name : awkwardNames()) writeAgedFile(downloads / name, name, 40);
  writeAgedFile(downloads / "old folder" / "inside.txt", "in", 40);
  ageBy(downloads / "old folder", 40);
  const std::vector<std::string> skipped{"~$budget.xlsx", ".DS_Store", "notes.swp", "Icon\r"};
  for (const auto& name : skipped) writeAgedFile(downloads / name, "lock", 40);
  writeAgedFile(downloads / "fresh.txt", "fresh", 1);

  ProcessResult run = runBrimVale(home, {"relocate-now"});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const auto& name : skipped) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(fs::exists(downloads / name));
    EXPECT_TRUE(contains(run.out, "skip (lock/metadata): " + (downloads / name).string() + "\n"));
  }
  EXPECT_TRUE(fs::exists(downloads / "fresh.txt"));
  for (const auto& name : awkwardNames()) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fs::exists(downloads / name));
    EXPECT_EQ(readFile(archive / name).value_or(""), name);
  }
  EXPECT_EQ(readFile(archive / "old folder" / "inside.txt").value_or(""), "in");
  EXPECT_EQ(readFile(archive / month / "memo.txt").value_or(""), "new memo");
  std::vector<fs::path> stamped;
  for (const auto& e : fs::directory_iterator(archive / month)) {
    if (e.path().filename().string().starts_with("report.pdf.")) stamped.push_back(e.path());
  }
  ASSERT_EQ(stamped.size(), 1u);
  EXPECT_EQ(readFile(stamped[0]).value_or(""), "new report");
  EXPECT_EQ(readFile(archive / "report.pdf").value_or(""), "old one");

  const std::size_t moves = awkwardNames().size() + 3;
  EXPECT_EQ(actionRows(home).size(), moves);

  // Restored by hand before the rollback: that row is skipped.
  fs::copy_file(archive / month / "memo.txt", downloads / "memo.txt");
  fs::remove(archive / month / "memo.txt");
  ProcessResult back = runBrimVale(home, {"rollback"});
  ASSERT_EQ(back.exitCode, 0) << back.out;
  EXPECT_TRUE(contains(back.out, "rollback skip (" + (downloads / "memo.txt").string() +
                                     " already exists or " +
                                     (archive / month / "memo.txt").string() + " missing)\n"));
  EXPECT_TRUE(contains(back.out, "Reversed: " + std::to_string(moves - 1) + ".  Skipped: 1.\n"));
  for (const auto& name : awkwardNames()) EXPECT_EQ(readFile(downloads / name).value_or(""), name);
  EXPECT_EQ(readFile(downloads / "report.pdf").value_or(""), "new report");
  EXPECT_EQ(readFile(downloads / "old folder" / "inside.txt").value_or(""), "in");
  EXPECT_EQ(readFile(home.state() / "last-batch.tsv").value_or("?"), "");

  ProcessResult again = runBrimVale(home, {"rollback", "--yes"});
  EXPECT_EQ(again.out, "No batch to roll back.\n");
}

}  // namespace
}  // namespace brimvale::e2e
