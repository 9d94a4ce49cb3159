#include "apps/nine_step_machine.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "apps/app_move_test_world.h"
#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::FileOp;
using brimvale::testing::userView;
using testing::AppMoveWorld;

TEST(NineStepMachine, MovesTheBundleLinksItAndCommits) {
  AppMoveWorld w;
  const fs::path original = w.makeBundle("Q");
  const auto before = userView(original);
  w.tools.quarantined.insert(original.string());
  NineStepMachine machine(w.env, w.job("Q"));
  ASSERT_TRUE(machine.run());

  const fs::path copy = w.appsRoot / "Q.app";
  EXPECT_TRUE(isLinkTo(original, copy.string()));
  EXPECT_EQ(userView(original), before);
  EXPECT_EQ(userView(copy), before);
  EXPECT_TRUE(w.parked().empty()) << "the parked original is purged at commit";
  EXPECT_EQ(w.tools.relocationMark(original.string()), "0F8FAD5B-D9CB-469F-A165-70867728950E");

  const auto stored = moveWithId(w.store.loadAll(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->phase, AppMovePhase::kDone);
  EXPECT_EQ(stored->nvmePath, copy.string());
  const std::vector<std::string> expectedCalls{
      "copyBundle ditto",
      "clearDownloadQuarantine " + copy.string(),
      "registerApp " + original.string() + " lsregister",
      "reindex " + original.string() + " mdimport",
      "refreshDock killall-Dock",
      "spotlightCheck " + original.string() + " mdls",
  };
  EXPECT_EQ(w.tools.calls, expectedCalls);
}

TEST(NineStepMachine, PreflightRefusalsChangeNothing) {
  struct Row {
    const char* name;
    std::function<void(AppMoveWorld&)> arrange;
    std::string (*expected)(const AppMoveWorld&);
    const char* appsFolder = nullptr;  // instead of the working folder's, below the drive
  };
  const std::vector<Row> rows{
      {"already a link",
       [](AppMoveWorld& w) {
         w.tmp.file("Drive/BRIM-Test-Mac/Apps/Q.app/Contents/Info.plist", "moved before");
         fs::create_directory_symlink(w.appsRoot / "Q.app", w.applications / "Q.app");
       },
       [](const AppMoveWorld& w) {
         return "The bundle at " + (w.applications / "Q.app").string() +
                " is already a symlink — it appears to be relocated. Use the Moved tab to bring "
                "it back to /Applications.";
       }},
      {"copy in use by another relocation",
       [](AppMoveWorld& w) {
         w.makeBundle("Q");
         w.tmp.file("Drive/BRIM-Test-Mac/Apps/Q.app/Contents/keep", "someone's copy");
         const fs::path other = w.tmp.folder("home/Applications") / "Q.app";
         fs::create_directory_symlink(w.appsRoot / "Q.app", other);
         AppMoveManifest live;
         live.id = "11111111-1111-1111-1111-111111111111";
         live.originalPath = other.string();
         live.nvmePath = (w.appsRoot / "Q.app").string();
         live.displayName = "Q";
         live.phase = AppMovePhase::kDone;
         w.store.save(live);
       },
       [](const AppMoveWorld& w) {
         return "There's already a copy on NVMe at " + (w.appsRoot / "Q.app").string() +
                ". Run the orphaned-relocation cleanup and try again.";
       }},
      {"drive unplugged",
       [](AppMoveWorld& w) {
         w.makeBundle("Q");
         w.drive.unmount();
       },
       [](const AppMoveWorld& w) {
         return "Your fast drive is not connected at " + (w.tmp / "Drive").string() +
                " (or was disconnected during the move). Nothing was moved; your app is "
                "untouched. Connect the drive and try again.";
       }},
      {"apps folder outside the working folder", [](AppMoveWorld& w) { w.makeBundle("Q"); },
       [](const AppMoveWorld& w) {
         return (w.tmp / "Drive/Shared/Apps").string() +
                " is not inside this computer's working folder on your fast drive. Nothing was "
                "moved; your app is untouched.";
       },
       "Shared/Apps"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    AppMoveWorld w;
    row.arrange(w);
    // Records are not the user's files.
    const auto withoutState = [](brimvale::testing::TreeView view) {
      std::erase_if(view,
                    [](const auto& e) { return e.first.starts_with("home/.brimvale/state"); });
      return view;
    };
    const auto before = withoutState(userView(w.tmp.path()));
    EngineJob job = w.job("Q");
    if (row.appsFolder) job.destinationRoot = w.tmp / "Drive" / row.appsFolder;
    NineStepMachine machine(w.env, job);
    const auto result = machine.run();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().userMessage(), row.expected(w));
    EXPECT_EQ(withoutState(userView(w.tmp.path())), before);
    EXPECT_EQ(machine.manifest().phase, AppMovePhase::kFailed);
  }
}

TEST(NineStepMachine, EveryFailedStepRollsBackToTheUntouchedOriginal) {
  struct Row {
    const char* name;
    std::function<void(AppMoveWorld&)> arrange;
    std::string message;  // a part of the error text
  };
  const std::vector<Row> rows{
      {"copy fails", [](AppMoveWorld& w) { w.tools.failing.insert("ditto"); },
       "ditto failed (exit 1): ditto refused"},
      {"names differing in case onto a drive that ignores case",
       [](AppMoveWorld& w) {
         w.driveCase = mover::VolumeCaseSensitivity::kInsensitive;
         w.tmp.file("Applications/Q.app/Contents/Resources/readme", "a");
         w.tmp.file("Applications/Q.app/Contents/Resources/README", "b");
       },
       "differ only in letter case"},
      {"parking refused",
       [](AppMoveWorld& w) { w.files.failFirst(FileOp::kRenameNoReplace, "Q.app", EACCES); },
       "aside: Permission denied. Move rolled back; your app is untouched."},
      {"link refused",
       [](AppMoveWorld& w) { w.files.failFirst(FileOp::kCreateDirectorySymlink, "Q.app", ENOSPC); },
       "Couldn't create the link at"},
      {"registration fails", [](AppMoveWorld& w) { w.tools.failing.insert("lsregister"); },
       "lsregister failed (exit 1): lsregister refused"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    AppMoveWorld w;
    const fs::path original = w.makeBundle("Q");
    row.arrange(w);
    const auto before = userView(original);
    NineStepMachine machine(w.env, w.job("Q"));
    const auto result = machine.run();
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().userMessage().find(row.message), std::string::npos)
        << result.error().userMessage();
    EXPECT_TRUE(isRealFolder(original));
    EXPECT_EQ(userView(original), before);
    EXPECT_FALSE(fs::exists(w.appsRoot / "Q.app"));
    EXPECT_TRUE(w.parked().empty());
    const auto stored = moveWithId(w.store.loadAll(), machine.manifest().id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->phase, AppMovePhase::kFailed);
    EXPECT_EQ(stored->lastError, result.error().userMessage());
    EXPECT_EQ(w.tools.calls.back(), "registerApp " + original.string() + " lsregister-rollback");
  }
}

// Given an original written after its copy was made (or a copy damaged on
// the way), what differs is copied again before the original is parked and
// deleted; an original that keeps changing is never deleted, and the older
// drive copy is kept rather than removed.
TEST(NineStepMachine, WhatChangesAfterTheCopyIsCopiedAgainBeforeTheOriginalGoes) {
  struct Row {
    const char* name;
    std::function<void(const AppMoveWorld&, const fs::path& copy)> afterCopy;
    bool keepsChanging = false;
  };
  const std::vector<Row> rows{
      {"rewritten in place",
       [](const AppMoveWorld& w, const fs::path&) {
         testing::rewriteInPlace(w.applications / "Q.app/Contents/Resources/big.dat", 'n');
       }},
      {"a file added",
       [](const AppMoveWorld& w, const fs::path&) {
         w.tmp.file("Applications/Q.app/Contents/Resources/added", "new");
       }},
      {"the copy damaged",
       [](const AppMoveWorld&, const fs::path& copy) {
         fs::remove(copy / "Contents/Resources/big.dat");
       }},
      {"rewritten on every round",
       [](const AppMoveWorld& w, const fs::path&) {
         static int n = 0;
         w.tmp.file("Applications/Q.app/Contents/MacOS/Q", "build " + std::to_string(++n));
       },
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    AppMoveWorld w;
    const fs::path original = w.makeBundle("Q");
    const fs::path copy = w.appsRoot / "Q.app";
    auto expected = userView(original);
    w.tools.afterCopy = [&](const std::string& destination) {
      if (destination != copy.string() && !row.keepsChanging) return;
      row.afterCopy(w, destination);
      expected = userView(original);
    };
    NineStepMachine machine(w.env, w.job("Q"));
    const auto result = machine.run();
    if (row.keepsChanging) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().userMessage(),
                "These files of “Q” kept changing while they were copied to your fast drive: "
                "Contents/MacOS/Q. Nothing was moved; your app is untouched. Quit the app and try "
                "again.");
      EXPECT_TRUE(isRealFolder(original));
      ASSERT_EQ(machine.kept().size(), 1u);
      EXPECT_EQ(testing::keptBeside(w.appsRoot, "Q.app"), std::vector<fs::path>{machine.kept()[0]});
      continue;
    }
    ASSERT_TRUE(result) << result.error().userMessage();
    EXPECT_TRUE(isLinkTo(original, copy.string()));
    EXPECT_EQ(userView(copy), expected);
    EXPECT_TRUE(w.parked().empty());
    EXPECT_TRUE(machine.kept().empty());
  }
}

// Given a copy at the destination that no relocation uses (a failed move's,
// one from before a reinstall), it goes when it matches the app and is kept
// under a .kept name when it does not.
TEST(NineStepMachine, AnEarlierCopyOnTheDriveGoesOnlyWhenItMatches) {
  for (const bool differs : {false, true}) {
    SCOPED_TRACE(differs ? "differs" : "matches");
    AppMoveWorld w;
    const fs::path original = w.makeBundle("Q");
    const fs::path copy = w.appsRoot / "Q.app";
    fs::create_directories(w.appsRoot);
    ASSERT_TRUE(w.tools.copyBundle(original.string(), copy.string(), "setup", {}, {}));
    if (differs) testing::rewriteInPlace(copy / "Contents/Resources/big.dat", 'o');
    const auto earlier = userView(copy);
    NineStepMachine machine(w.env, w.job("Q"));
    ASSERT_TRUE(machine.run());
    EXPECT_TRUE(isLinkTo(original, copy.string()));
    const auto kept = testing::keptBeside(w.appsRoot, "Q.app");
    EXPECT_EQ(kept.size(), differs ? 1u : 0u);
    EXPECT_EQ(machine.kept().size(), kept.size());
    if (differs) {
      EXPECT_EQ(userView(kept[0]), earlier);
    }
  }
}

// Given a rollback that cannot put the original back (or remove the link),
// both copies stay and a breadcrumb names why.
TEST(NineStepMachine, ARollbackThatCannotFinishKeepsBothCopies) {
  const std::vector<std::pair<FileOp, std::string>> rows{
      {FileOp::kRenameNoReplace, "rollback_restore_failed"},
      {FileOp::kRemove, "rollback_concurrent_restore"}};
  for (const auto& [op, reason] : rows) {
    SCOPED_TRACE(reason);
    AppMoveWorld w;
    const fs::path original = w.makeBundle("Q");
    const auto before = userView(original);
    const fs::path parked = homeQuarantineRoot(w.home) / "com.test.app.2026-05-28T20-26-40Z";
    w.tools.failing.insert("lsregister");
    w.files.failFirst(op, op == FileOp::kRemove ? "Applications/Q.app" : parked.string(),
                      op == FileOp::kRemove ? EBUSY : EACCES);
    NineStepMachine machine(w.env, w.job("Q"));
    const auto result = machine.run();
    ASSERT_FALSE(result);
    if (op == FileOp::kRenameNoReplace) {
      EXPECT_EQ(result.error().userMessage(),
                "ROLLBACK INCOMPLETE: original at " + original.string() +
                    " could not be restored from quarantine at " + parked.string() +
                    ": Permission denied. Your bundle is at the quarantine path — copy it back "
                    "manually.");
    }
    EXPECT_EQ(userView(parked), before);
    EXPECT_EQ(userView(w.appsRoot / "Q.app"), before);
    const auto crumb =
        readFile(w.paths.state / "orphan-manifests" / "0F8FAD5B-D9CB-469F-A165-70867728950E.json");
    ASSERT_TRUE(crumb);
    EXPECT_NE(crumb->find(reason), std::string::npos);
  }
}

}  // namespace
}  // namespace brimvale::apps
