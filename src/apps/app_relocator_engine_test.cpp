#include "apps/app_relocator_engine.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apps/app_move_test_world.h"
#include "common/base/file_io.h"
#include "mover/safety_checks.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::FileOp;
using brimvale::testing::userView;
using testing::AppMoveWorld;

// A world with "Q" (version 2.0) moved to the drive.
struct MovedWorld : AppMoveWorld {
  AppRelocatorEngine engine{env};
  std::vector<EngineCompletion> heard;
  fs::path original = makeBundle("Q", "2.0");
  brimvale::testing::TreeView content = userView(original);
  fs::path copy = appsRoot / "Q.app";
  std::string id;

  MovedWorld() {
    engine.addCompletionListener([this](const EngineCompletion& c) { heard.push_back(c); });
    id = engine.enqueue(entry("Q"), appsRoot, {}, false).value();
    engine.drain();
  }
  AppMoveManifest record() const { return *moveWithId(store.loadAll(), id); }
};

// Given an app reinstalled at the original path while it lived on the drive,
// the reinstalled app stays where it opens from; the drive copy goes only
// when every file of it is there, and is otherwise kept whole.
TEST(EngineMoveBack, AReinstalledAppStaysAndADifferingDriveCopyIsKeptWhole) {
  struct Row {
    const char* name;
    std::function<void(MovedWorld&)> reinstall;
    bool driveCopyKept;
  };
  const std::vector<Row> rows{
      {"the same app", [](MovedWorld& w) { w.makeBundle("Q", "2.0"); }, false},
      {"one file differs",
       [](MovedWorld& w) {
         w.makeBundle("Q", "2.0");
         testing::rewriteInPlace(w.original / "Contents/Resources/big.dat", 'r');
       },
       true},
      {"an older version", [](MovedWorld& w) { w.makeBundle("Q", "1.0", " old"); }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MovedWorld w;
    fs::remove(w.original);
    row.reinstall(w);
    const auto reinstalled = userView(w.original);
    const auto result = w.engine.runMoveBack(w.id);
    ASSERT_TRUE(result) << result.error().userMessage();
    EXPECT_EQ(result->outcome, "kept_internal_at_2026-05-28T20-26-40Z");
    EXPECT_EQ(result->nvmeVersion, "2.0");
    EXPECT_EQ(userView(w.original), reinstalled);
    EXPECT_FALSE(fs::exists(w.copy));
    const auto kept = testing::keptBeside(w.appsRoot, "Q.app");
    ASSERT_EQ(kept.size(), row.driveCopyKept ? 1u : 0u);
    if (!row.driveCopyKept) continue;
    EXPECT_EQ(userView(kept[0]), w.content);
    EXPECT_EQ(result->kept, std::vector<std::string>{kept[0].string()});
  }
}

// Given a swap of the link and the staged copy that the disk refuses, or one
// it cannot make at all (then the link goes first), a failure leaves the app
// working from the drive behind its link.
TEST(EngineMoveBack, AFailedSwapOrRenameLeavesTheAppOnTheDrive) {
  struct Row {
    const char* name;
    std::errc swap;
    bool renameFails;
    std::string ending;  // of the error; empty: the move back succeeds
  };
  const std::vector<Row> rows{
      {"swap refused", std::errc::permission_denied, false,
       ": Permission denied. Nothing was changed; the app still works from your fast drive."},
      {"no swap, rename refused", std::errc::not_supported, true,
       ": Permission denied. Nothing was lost; the app still works from where it was."},
      {"no swap", std::errc::not_supported, false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MovedWorld w;
    w.env.exchange = [&](const fs::path&, const fs::path&) {
      return std::make_error_code(row.swap);
    };
    if (row.renameFails) w.files.failFirst(FileOp::kRenameNoReplace, ".restoring", EACCES);
    AppRelocatorEngine engine(w.env);
    const auto result = engine.runMoveBack(w.id);
    EXPECT_EQ(userView(w.original), w.content);
    EXPECT_FALSE(fs::exists(w.original.string() + ".restoring"));
    if (row.ending.empty()) {
      ASSERT_TRUE(result) << result.error().userMessage();
      EXPECT_TRUE(isRealFolder(w.original));
      continue;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().userMessage(),
              "Couldn't put “Q” back at " + w.original.string() + row.ending);
    EXPECT_TRUE(isLinkTo(w.original, w.copy.string()));
    EXPECT_EQ(w.record().phase, AppMovePhase::kDone);
  }
}

TEST(EngineMoveBack, NeverDeletesADriveCopyOutsideTheWorkingFolder) {
  MovedWorld w;
  // A tampered record aims the drive copy at the user's own folder.
  const fs::path precious = w.tmp.folder("Precious");
  fs::copy(w.copy, precious / "Q.app",
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::remove_all(w.copy);
  AppMoveManifest tampered = w.record();
  tampered.nvmePath = (precious / "Q.app").string();
  w.store.save(tampered);
  fs::remove(w.original);
  fs::create_directory_symlink(precious / "Q.app", w.original);
  ASSERT_TRUE(w.engine.runMoveBack(w.id));
  EXPECT_EQ(userView(precious / "Q.app"), w.content);
  EXPECT_TRUE(
      w.logged("AppRelocatorEngine.runMoveBack: REFUSED unsafe NVMe delete (not under a "
               "managed root): " +
               (precious / "Q.app").string() + " — leaking the NVMe copy"));
}

AppMoveManifest interrupted(const AppMoveWorld& w, const std::string& id, std::string original,
                            std::string nvme) {
  AppMoveManifest m;
  m.id = id;
  m.originalPath = std::move(original);
  m.nvmePath = std::move(nvme);
  m.bundleID = "com.test.app";
  m.displayName = "Q";
  m.startedAt = w.now;
  m.phase = AppMovePhase::kCopying;
  return m;
}

TEST(EngineRecovery, RecordsOutsideTheAppFoldersOrTheDriveAreNotActedOn) {
  AppMoveWorld w;
  w.makeBundle("Q");
  const fs::path precious = w.tmp.folder("Precious/Q.app");
  w.tmp.file("Precious/Q.app/data", "keep me");
  const fs::path desktop = w.tmp.folder("Desktop/Q.app");
  fs::create_directories(w.appsRoot);  // so that "Apps/../../.." resolves
  struct Row {
    std::string id;
    std::string original;
    std::string nvme;
    bool rejected;
  };
  const std::vector<Row> rows{
      {"11111111-1111-1111-1111-111111111111", desktop.string(), "", true},
      {"22222222-2222-2222-2222-222222222222", (w.applications / "../Desktop/Q.app").string(), "",
       true},
      {"33333333-3333-3333-3333-333333333333", (w.applications / "Q.app").string(),
       precious.string(), false},
      {"44444444-4444-4444-4444-444444444444", (w.applications / "Q.app").string(),
       (w.appsRoot / "../../../Precious/Q.app").string(), false},
  };
  for (const auto& row : rows) {
    AppMoveManifest m = interrupted(w, row.id, row.original, row.nvme);
    w.store.save(m);
  }
  AppRelocatorEngine engine(w.env);
  engine.recoverPendingManifests();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    const auto stored = moveWithId(w.store.loadAll(), row.id);
    if (row.rejected) {
      EXPECT_EQ(stored->phase, AppMovePhase::kCopying);
      EXPECT_TRUE(w.logged("AppRelocatorEngine.recoverPendingManifests: rejecting manifest " +
                           row.id + " — originalPath " + row.original +
                           " does not resolve under any canonical /Applications root"));
    } else {
      EXPECT_EQ(stored->phase, AppMovePhase::kFailed);
      EXPECT_NE(stored->statusMessage->find("nvme_cleanup_refused_unsafe_path"), std::string::npos);
      EXPECT_TRUE(w.logged(
          "RecoveryDriver: REFUSED unsafe NVMe delete (not under a managed root): " + row.nvme));
    }
  }
  EXPECT_EQ(readFile(precious / "data").value_or(""), "keep me");
  EXPECT_TRUE(fs::exists(desktop));
}

// A parked original goes only from a quarantine folder and only where its
// copy matches it; what the user cannot delete goes through the
// administrator once it compared equal; what differs is kept beside the app.
TEST(EngineQuarantine, PurgeDeletesOnlyAParkedOriginalItsCopyMatches) {
  using platform::PrivilegedOutcome;
  struct Row {
    const char* name;
    std::function<void(AppMoveWorld&, const fs::path& parked)> arrange;
    std::optional<PrivilegedOutcome> administrator;  // asked, and what it answers
    bool gone;
  };
  const std::vector<Row> rows{
      {"matches", [](AppMoveWorld&, const fs::path&) {}, std::nullopt, true},
      {"written after the copy",
       [](AppMoveWorld&, const fs::path& parked) {
         testing::rewriteInPlace(parked / "Contents/Resources/big.dat", 'w');
       },
       std::nullopt, false},
      {"not the user's to delete, granted",
       [](AppMoveWorld& w, const fs::path&) { w.files.failFirst(FileOp::kUnlinkAt, "Q", EACCES); },
       PrivilegedOutcome::kSuccess, true},
      {"not the user's to delete, cancelled",
       [](AppMoveWorld& w, const fs::path&) { w.files.failFirst(FileOp::kUnlinkAt, "Q", EACCES); },
       PrivilegedOutcome::kCancelled, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    AppMoveWorld w;
    const fs::path original = w.makeBundle("Q");
    const fs::path copy = w.appsRoot / "Q.app";
    const fs::path parked = homeQuarantineRoot(w.home) / "it's.x";
    fs::create_directories(w.appsRoot);
    ASSERT_TRUE(w.tools.copyBundle(original.string(), copy.string(), "setup", {}, {}));
    fs::create_directories(parked.parent_path());
    fs::rename(original, parked);
    row.arrange(w, parked);
    const auto content = userView(parked);
    std::string asked;
    w.tools.privileged = [&](const std::string& line) {
      asked = line;
      if (*row.administrator == PrivilegedOutcome::kSuccess) fs::remove_all(parked);
      return platform::PrivilegedResult{*row.administrator, {}};
    };
    const auto left = purgeQuarantine(w.env, parked, copy, original, ReplaceGuard{});
    EXPECT_EQ(!left, row.gone);
    EXPECT_FALSE(fs::exists(parked) && row.gone);
    EXPECT_EQ(asked, row.administrator
                         ? "/bin/rm -rf '" + (parked.parent_path() / "it'\\''s.x").string() + "'"
                         : "");
    if (row.gone) continue;
    // What was not deleted is all there, the rest identical on the drive.
    const auto kept = userView(*left);
    const auto onDrive = userView(copy);
    for (const auto& [rel, seen] : content) {
      EXPECT_TRUE((kept.contains(rel) && kept.at(rel) == seen) || onDrive.at(rel) == seen) << rel;
    }
  }
  // Never outside a quarantine folder.
  AppMoveWorld w;
  fs::create_directories(homeQuarantineRoot(w.home));
  const fs::path outside = w.tmp.folder("home/Documents/Q.app");
  for (const auto& path : {outside, homeQuarantineRoot(w.home) / "../../../Documents/Q.app"}) {
    EXPECT_FALSE(purgeQuarantine(w.env, path, w.appsRoot / "Q.app", outside, ReplaceGuard{}));
    EXPECT_TRUE(
        w.logged("AppRelocatorEngine.purgeQuarantineDir: refusing path outside quarantine root: " +
                 path.string()));
  }
  EXPECT_TRUE(fs::exists(outside));
}

}  // namespace
}  // namespace brimvale::apps
