#include "apps/app_relocator_engine.h"

#include <gtest/gtest.h>

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

TEST(EngineQueue, RunsOneJobPerAppAndAnnouncesIt) {
  MovedWorld w;
  ASSERT_EQ(w.heard.size(), 1u);
  EXPECT_TRUE(w.heard[0].success);
  EXPECT_EQ(w.heard[0].manifestID, w.id);
  EXPECT_EQ(w.heard[0].sentence, "Moved “Q” to your fast drive and kept it working.");
  EXPECT_EQ(w.engine.appStatus().at(w.original.string()), w.heard[0].sentence);
  EXPECT_EQ(w.engine.appsMoved(), 1);
  EXPECT_EQ(w.engine.bytesMoved(), 78 * 1024);
  EXPECT_EQ(w.engine.bytesSaved(), 78 * 1024);
  EXPECT_EQ(w.engine.lastFinished(), w.now);
  EXPECT_FALSE(w.engine.runningJob());

  AppMoveWorld other;
  transfers::TransferEventStore events(other.paths.state);
  other.env.transferEvents = &events;
  other.makeBundle("R");
  AppRelocatorEngine engine(other.env);
  ASSERT_TRUE(engine.enqueue(other.entry("R"), other.appsRoot, {}, false));
  EXPECT_FALSE(engine.enqueue(other.entry("R"), other.appsRoot, {}, false));
  const std::string queuedId = engine.queue().front().id;
  EXPECT_TRUE(other.logged("AppRelocatorEngine.enqueue: refusing duplicate for R (job " + queuedId +
                           " already queued)"));
  // While the job runs, a second request for the same app is refused too.
  engine.setCopyObserver([&](const platform::BundleCopyProgress&) {
    EXPECT_FALSE(engine.enqueue(other.entry("R"), other.appsRoot, {}, false));
  });
  engine.drain();
  EXPECT_TRUE(other.logged("AppRelocatorEngine.enqueue: refusing duplicate for R (job " + queuedId +
                           " currently running)"));
  EXPECT_TRUE(engine.queue().empty());
  EXPECT_FALSE(engine.enqueue(other.entry("S"), "", {}, false));
  EXPECT_EQ(engine.statusLine(), "NVMe path unknown. Refresh the status and try again.");
  const auto recorded = events.readAll();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].service, transfers::TransferService::kAppsRelocator);
  EXPECT_EQ(recorded[0].bytes, 78 * 1024);
}

TEST(EngineQueue, AnotherRelocationRunningLeavesTheAppAlone) {
  AppMoveWorld w;
  const fs::path original = w.makeBundle("Q");
  mover::RelocatorLock other(w.paths.state);
  ASSERT_TRUE(other.acquire(std::chrono::milliseconds{0}));
  AppRelocatorEngine engine(w.env);
  std::vector<EngineCompletion> heard;
  engine.addCompletionListener([&](const EngineCompletion& c) { heard.push_back(c); });
  ASSERT_TRUE(engine.enqueue(w.entry("Q"), w.appsRoot, {}, false));
  engine.drain();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_FALSE(heard[0].success);
  EXPECT_EQ(heard[0].reason,
            "Apps Relocator: another relocate operation is in progress (waited 0s). Nothing was "
            "moved; your app is untouched. Try again when the other move has finished.");
  EXPECT_TRUE(isRealFolder(original));
  EXPECT_TRUE(w.store.loadAll().empty());
  EXPECT_TRUE(
      w.logged("Brimvale: relocator job " + heard[0].manifestID + " failed: Apps Relocator"));
}

TEST(EngineMoveBack, RefusesWhatItCannotBringBack) {
  MovedWorld w;
  AppMoveManifest unfinished = w.record();
  unfinished.id = "22222222-2222-2222-2222-222222222222";
  unfinished.phase = AppMovePhase::kFailed;
  w.store.save(unfinished);
  struct Row {
    std::string id;
    std::function<void()> arrange;
    std::string message;
  };
  const std::vector<Row> rows{
      {"99999999-9999-9999-9999-999999999999", [] {},
       "Couldn't find a record for this app (manifest 99999999-9999-9999-9999-999999999999)."},
      {unfinished.id, [] {},
       "Move back is only valid for completed relocations (currently: failed)."},
      {w.id, [&] { fs::rename(w.copy, w.tmp / "aside"); },
       "The NVMe copy at " + w.copy.string() + " is missing — nothing to restore."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    row.arrange();
    const auto result = w.engine.runMoveBack(row.id);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().userMessage(), row.message);
  }
}

TEST(EngineMoveBack, BringsTheAppHomeAndDropsTheDriveCopy) {
  MovedWorld w;
  w.now += 60;
  const auto result = w.engine.runMoveBack(w.id);
  ASSERT_TRUE(result) << result.error().userMessage();
  EXPECT_TRUE(isRealFolder(w.original));
  EXPECT_EQ(userView(w.original), w.content);
  EXPECT_FALSE(fs::exists(w.copy));
  EXPECT_FALSE(fs::exists(w.original.string() + ".restoring"));
  EXPECT_EQ(result->outcome, "restored_by_user_at_2026-05-28T20-27-40Z");
  EXPECT_EQ(w.record().statusMessage, result->outcome);
  EXPECT_EQ(w.heard.back().kind, EngineCompletion::Kind::kRestore);
  EXPECT_TRUE(w.heard.back().success);
  EXPECT_EQ(w.tools.calls.back(), "refreshDock killall-Dock-restore");
}

TEST(EngineMoveBack, AReinstalledCopyIsKeptOnlyWhenAtLeastAsNew) {
  struct Row {
    const char* internalVersion;
    bool intact;
    bool keptInternal;
  };
  const std::vector<Row> rows{
      {"3.0", true, true},
      {"2.0", true, true},
      {"1.9", true, false},
      {"9.0", false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.internalVersion + std::string(row.intact ? "" : " broken"));
    MovedWorld w;
    fs::remove(w.original);
    w.makeBundle("Q", row.internalVersion, " reinstalled");
    if (!row.intact) fs::remove(w.original / "Contents/MacOS/Q");
    const auto reinstalled = userView(w.original);
    const auto result = w.engine.runMoveBack(w.id);
    ASSERT_TRUE(result) << result.error().userMessage();
    EXPECT_EQ(result->internalVersion, row.internalVersion);
    EXPECT_EQ(result->nvmeVersion, "2.0");
    EXPECT_FALSE(fs::exists(w.copy));
    if (row.keptInternal) {
      EXPECT_EQ(result->outcome, "kept_internal_at_2026-05-28T20-26-40Z");
      EXPECT_EQ(userView(w.original), reinstalled);
      EXPECT_TRUE(w.parked().empty());
    } else {
      EXPECT_EQ(result->outcome, "restored_by_user_at_2026-05-28T20-26-40Z");
      EXPECT_EQ(userView(w.original), w.content);
      const fs::path aside =
          homeQuarantineRoot(w.home) / "overwritten-by-restore-2026-05-28T20-26-40Z";
      EXPECT_EQ(userView(aside), reinstalled);
    }
  }
}

TEST(EngineMoveBack, AFailedRenamePutsTheLinkBack) {
  MovedWorld w;
  w.files.failFirst(FileOp::kRenameNoReplace, ".restoring", EACCES);
  const auto result = w.engine.runMoveBack(w.id);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().userMessage(),
            "Couldn't put “Q” back at " + w.original.string() +
                ": Permission denied. Nothing was lost; the app still works from where it was.");
  EXPECT_TRUE(isLinkTo(w.original, w.copy.string()));
  EXPECT_EQ(userView(w.original), w.content);
  EXPECT_FALSE(fs::exists(w.original.string() + ".restoring"));
  EXPECT_TRUE(w.logged("AppRelocatorEngine.runMoveBack: rolling back due to Couldn't put"));
  const auto crumb = readFile(w.paths.state / "orphan-manifests" / (w.id + ".json"));
  ASSERT_TRUE(crumb);
  EXPECT_NE(crumb->find("stage_rename_failed"), std::string::npos);
  EXPECT_EQ(w.record().phase, AppMovePhase::kDone);
}

TEST(EngineMoveBack, AReinstalledCopyThatCannotBeSetAsideStaysWithTheDriveCopy) {
  MovedWorld w;
  fs::remove(w.original);
  w.makeBundle("Q", "1.0", " reinstalled");
  const auto reinstalled = userView(w.original);
  w.files.failFirst(FileOp::kRenameNoReplace, w.original.string(), EACCES);
  const auto result = w.engine.runMoveBack(w.id);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().userMessage(),
            "Couldn't set aside the copy of “Q” at " + w.original.string() +
                ": Permission denied. Nothing was changed; both copies are where they were.");
  EXPECT_EQ(userView(w.original), reinstalled);
  EXPECT_EQ(userView(w.copy), w.content);
  EXPECT_FALSE(fs::exists(w.original.string() + ".restoring"));
  const auto crumb = readFile(w.paths.state / "orphan-manifests" / (w.id + ".json"));
  ASSERT_TRUE(crumb);
  EXPECT_NE(crumb->find("case_c_quarantine_failed"), std::string::npos);
  EXPECT_FALSE(w.heard.back().success);
}

TEST(EngineMoveBack, NeverDeletesADriveCopyOutsideTheWorkingFolder) {
  MovedWorld w;
  // A tampered record aims the drive copy at the user's own folder.
  const fs::path precious = w.tmp.folder("Precious");
  fs::rename(w.copy, precious / "Q.app");
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

TEST(EngineRecovery, RepairsAMoveCutShortAfterTheOriginalWasParked) {
  AppMoveWorld w;
  const fs::path original = w.makeBundle("Q");
  const auto content = userView(original);
  const fs::path copy = w.appsRoot / "Q.app";
  fs::create_directories(w.appsRoot);
  fs::copy(original, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  // An older record without a recorded quarantine: found by its bundle id.
  const fs::path parked = homeQuarantineRoot(w.home) / "com.test.app.2026-05-28T20-26-40Z";
  fs::create_directories(parked.parent_path());
  fs::rename(original, parked);
  fs::create_directory_symlink(copy, original);
  AppMoveManifest m =
      interrupted(w, "0F8FAD5B-D9CB-469F-A165-70867728950E", original.string(), copy.string());
  m.phase = AppMovePhase::kLinking;
  w.store.save(m);
  AppRelocatorEngine engine(w.env);
  const auto reports = engine.recoverPendingManifests();
  ASSERT_EQ(reports.size(), 1u);
  const std::string actions =
      "removed_symlink, restored_from_quarantine, removed_partial_nvme_copy";
  const auto stored = moveWithId(w.store.loadAll(), m.id);
  EXPECT_EQ(stored->phase, AppMovePhase::kFailed);
  EXPECT_EQ(stored->statusMessage, "Recovered at launch — actions: [" + actions + "]");
  EXPECT_TRUE(w.logged("RecoveryDriver: manifest " + m.id + " recovered: " + actions));
  EXPECT_TRUE(isRealFolder(original));
  EXPECT_EQ(userView(original), content);
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(w.parked().empty());
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

TEST(EngineQuarantine, ReclaimsParkedOriginalsOfCommittedMovesOnce) {
  MovedWorld w;
  AppMoveManifest done = w.record();
  const fs::path parked = fs::path(*done.quarantinePath);
  w.tmp.file(parked / "Contents/left", std::string(3 * 1024 * 1024, 'x'));
  w.engine.reclaimCommittedQuarantines();
  EXPECT_FALSE(fs::exists(parked));
  EXPECT_TRUE(
      w.logged("AppRelocatorEngine.reclaimCommittedQuarantines: reclaimed 1 quarantine(s) "
               "(~3 MB), skipped 0 root-owned."));
  EXPECT_TRUE(fs::exists(w.paths.state / ".migrations/quarantine-reclaim-v1.done"));
  w.tmp.file(parked / "Contents/left", "again");
  w.engine.reclaimCommittedQuarantines();
  EXPECT_TRUE(fs::exists(parked)) << "runs once per account";
}

TEST(EngineQuarantine, PurgeRefusesAnythingOutsideAQuarantineFolder) {
  AppMoveWorld w;
  AppRelocatorEngine engine(w.env);
  const fs::path outside = w.tmp.folder("home/Documents/Q.app");
  const fs::path parked = w.tmp.folder("home/.brimvale/quarantine/apps/unknown.x");
  for (const auto& path : {outside, homeQuarantineRoot(w.home) / "../../../Documents/Q.app"}) {
    engine.purgeQuarantineDir(path);
    EXPECT_TRUE(
        w.logged("AppRelocatorEngine.purgeQuarantineDir: refusing path outside quarantine root: " +
                 path.string()));
  }
  EXPECT_TRUE(fs::exists(outside));
  engine.purgeQuarantineDir(parked);
  EXPECT_FALSE(fs::exists(parked));
}

TEST(EngineQuarantine, APurgeTheUserCannotDoAsksTheAdministrator) {
  struct Row {
    platform::PrivilegedOutcome answer;
    bool logged;
  };
  for (const Row row : {Row{platform::PrivilegedOutcome::kSuccess, false},
                        Row{platform::PrivilegedOutcome::kCancelled, true}}) {
    AppMoveWorld w;
    AppRelocatorEngine engine(w.env);
    const fs::path parked = w.tmp.folder("home/.brimvale/quarantine/apps/it's.x");
    w.files.failFirst(FileOp::kRemoveAll, "it's.x", EACCES);
    w.tools.privileged = [&](const std::string& line) {
      EXPECT_EQ(line, "/bin/rm -rf '" + (parked.parent_path() / "it'\\''s.x").string() + "'");
      if (row.answer == platform::PrivilegedOutcome::kSuccess) fs::remove_all(parked);
      return platform::PrivilegedResult{row.answer, {}};
    };
    engine.purgeQuarantineDir(parked);
    EXPECT_EQ(w.logged("AppRelocatorEngine.purgeQuarantineDir: could not remove " +
                       parked.string() + ": Permission denied"),
              row.logged);
    EXPECT_EQ(fs::exists(parked), row.logged);
  }
}

}  // namespace
}  // namespace brimvale::apps
