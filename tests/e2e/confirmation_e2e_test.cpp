// Every brimvale command that moves or deletes the user's data, run as the
// built program with no terminal: without --yes it refuses and changes
// nothing; with --dry-run it shows its plan and changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app_move_scene.h"
#include "e2e_harness.h"
#include "mover_scene.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::contains;

class ConfirmationE2E : public MoverScene {
 protected:
  ConfirmationE2E() : MoverScene("Confirm-", "64m") {}

  void SetUp() override {
    MoverScene::SetUp();
    BRIMVALE_REQUIRE_DRIVE(drive_);
    if (!apps_.ready()) {
      if (mountsRequired()) FAIL() << apps_.whyNot();
      GTEST_SKIP() << apps_.whyNot();
    }
  }
  ProcessResult app(std::vector<std::string> args) const { return apps_.app(args); }
  // A folder of a few files in the home.
  fs::path folder(const std::string& name) const {
    writeAwkwardTree(home_.path() / name, 6, 2);
    return home_.path() / name;
  }
  // Moves `name` to the drive; the id of its move.
  std::string relocate(const std::string& name) const {
    const ProcessResult moved = app({"move", folder(name).string(), "--yes"});
    EXPECT_EQ(moved.exitCode, 0) << moved.out << moved.err;
    for (const auto& m : moveRecords(home_)) {
      if (fs::path(m.value("src", "")).filename() == name) return m.value("id", "");
    }
    return "";
  }
  // What a command could change of the user's: the home (Brimvale's own
  // records and caches aside, but not the scraps), the drive and /Applications.
  TreeSums everything() const {
    TreeSums all;
    for (const fs::path& root : {home_.path(), drive_.path(), apps_.applications()}) {
      for (auto& [path, sums] : treeSums(root, Folders::kListed)) {
        if (!path.starts_with(".brimvale") || path.ends_with("junk-items.ndjson"))
          all[(root / path).string()] = sums;
      }
    }
    return all;
  }

  AppMoveScene apps_{home_, drive_.path()};
};

TEST_F(ConfirmationE2E, WithoutATerminalNothingChangesUnlessToldYesAndADryRunOnlyShowsThePlan) {
  fs::create_symlink(BRIM_VALE_PATH, home_.paths().serviceProgram);
  const std::string music = relocate("Music");
  const std::string broken = relocate("Broken");
  fs::remove_all(relocated("Broken"));
  writeBundle(apps_.applications() / "Editor.app", "Editor", 4);
  writeBundle(apps_.applications() / "Moved.app", "Moved", 4);
  writeBundle(apps_.applications() / "Notes.app", "Notes", 4);
  ASSERT_TRUE(app({"apps", "move", "Moved", "--yes"}).succeeded());
  ASSERT_TRUE(app({"apps", "offload", "Notes", "--yes"}).succeeded());
  const std::string listed = app({"apps", "restore"}).out;
  const std::string offloaded = listed.substr(0, listed.find(' '));
  ASSERT_TRUE(app({"autosync", "add", folder("Inbox").string(), (working() / "Inbox").string()})
                  .succeeded());
  const auto policies = nlohmann::json::parse(app({"autosync", "--json"}).out);
  const std::string policy = policies.empty() ? "" : policies[0].value("id", "");
  ASSERT_TRUE(app({"junk", "add", "a scrap"}).succeeded());
  // The service's own relocation parks the original beside its link.
  ASSERT_TRUE(runBrimVale(home_, {"recover"}).succeeded());
  const ProcessResult parked = runBrimVale(home_, {"move-dir", folder("Photos").string()});
  ASSERT_TRUE(parked.succeeded()) << parked.out << parked.err;
  const std::string fresh = folder("Fresh").string();
  const std::string source = folder("Source").string();

  struct Case {
    std::vector<std::string> args;
    std::string plan;  // in the plan a dry run prints; empty: no dry run (rclone's own)
  };
  const Case cases[] = {
      {{"move", fresh}, "Relocate "},
      {{"relocate", fresh}, "Relocate "},
      {{"relocated", "move-back", music}, "back from"},
      {{"relocated", "delete", broken}, "Clear away the broken relocation of ~/Broken"},
      {{"moves", "revert", music}, "back from"},
      {{"parked", "confirm", (home_.path() / "Photos.hollin-old").string()}, "Delete the parked"},
      {{"parked", "confirm", (home_.path() / "Photos.hollin-old").string(), "--json"}, ""},
      {{"cleanup-old"}, "Delete the 1 parked original(s)"},
      {{"panic-recovery"}, "To bring home to the internal disk:"},
      {{"care"}, "I'll "},
      {{"apps", "move", "Editor"}, "Move \u201cEditor\u201d"},
      {{"apps", "offload", "Editor"}, "Offload \u201cEditor\u201d"},
      {{"apps", "move-back", "Moved"}, "Move \u201cMoved\u201d"},
      {{"apps", "restore", offloaded}, "Restore the offloaded app"},
      {{"autosync", "scan", policy}, "left unchanged for 10 minutes"},
      {{"junk", "clear"}, "Clear everything on the Rade Diriv: 1 scrap."},
      {{"uninstall", "--leave-relocated"}, "Brimvale is uninstalled as listed above."},
      {{"transfers", "new", source, fresh, "--mode", "move"}, ""},
      {{"transfers", "new", source, fresh, "--mode", "sync"}, ""},
      {{"transfers", "new", source, fresh, "--mode", "bisync"}, ""},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const TreeSums before = everything();
    const ProcessResult refused = app(c.args);
    EXPECT_NE(refused.exitCode, 0) << refused.out << refused.err;
    EXPECT_TRUE(contains(refused.err, "there is no terminal here to ask on. Nothing was changed."))
        << refused.out << refused.err;
    EXPECT_EQ(everything(), before);
    if (std::ranges::find(c.args, "--json") != c.args.end()) {
      EXPECT_EQ(refused.out, "") << "standard output of --json holds only JSON";
    }
    if (c.plan.empty()) continue;
    std::vector<std::string> dry = c.args;
    dry.push_back("--dry-run");
    const ProcessResult shown = app(dry);
    EXPECT_EQ(shown.exitCode, 0) << shown.out << shown.err;
    EXPECT_TRUE(contains(shown.out, c.plan)) << shown.out;
    EXPECT_TRUE(contains(shown.out, "Dry run: nothing was changed.")) << shown.out;
    EXPECT_EQ(everything(), before);
  }
}

}  // namespace
}  // namespace brimvale::e2e
