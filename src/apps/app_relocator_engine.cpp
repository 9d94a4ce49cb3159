#include "apps/app_relocator_engine.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include <nlohmann/json.hpp>

#include "apps/app_move_guards.h"
#include "apps/bundle_version.h"
#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "mover/manifest.h"

namespace brimvale::apps {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds kCopyDeadline{86400};
constexpr std::chrono::milliseconds kLockWait{0};

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

std::string toolErrorText(const platform::ToolFailure& failure) {
  return engineErrorOf(failure).userMessage();
}

fs::path journalFolder(const StatePaths& paths) { return paths.state / "app-move-backs"; }

std::optional<MoveBackJournal> decodeJournal(const std::string& text) {
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object()) return std::nullopt;
  const auto textOf = [&](const char* key) -> std::optional<std::string> {
    if (!j.contains(key) || !j[key].is_string()) return std::nullopt;
    return j[key].get<std::string>();
  };
  const auto id = textOf("manifestID");
  const auto staging = textOf("stagingPath");
  const auto stamp = textOf("stamp");
  if (!id || !staging || !stamp) return std::nullopt;
  return MoveBackJournal{*id, *staging, textOf("asidePath"), *stamp};
}

}  // namespace

std::string movedSentence(const std::string& displayName) {
  return "Moved “" + displayName + "” to your fast drive and kept it working.";
}

std::string restoredSentence(const std::string& displayName) {
  return "Brought “" + displayName + "” back to your internal disk; it opens from there again.";
}

std::string keptInternalSentence(const std::string& displayName) {
  return "Kept the copy of “" + displayName +
         "” that was reinstalled on your internal disk, because it is at least as new as the "
         "copy on your fast drive.";
}

AppRelocatorEngine::AppRelocatorEngine(AppMoveEnvironment env) : env_(std::move(env)) {}

void AppRelocatorEngine::addCompletionListener(CompletionListener listener) {
  listeners_.push_back(std::move(listener));
}

void AppRelocatorEngine::setCopyObserver(platform::BundleCopyObserver observer) {
  copyObserver_ = std::move(observer);
}

void AppRelocatorEngine::announce(const EngineCompletion& completion) {
  for (const auto& listener : listeners_) listener(completion);
}

std::optional<std::string> AppRelocatorEngine::enqueue(
    const AppEntry& app, const fs::path& destinationRoot,
    const AppClassificationResult& classification, bool overrideAccepted) {
  if (destinationRoot.empty()) {
    statusLine_ = "NVMe path unknown. Refresh the status and try again.";
    env_.log("AppRelocatorEngine.enqueue: refusing " + app.displayName + " — " + *statusLine_);
    return std::nullopt;
  }
  const std::string original = comparablePath(app.bundlePath);
  if (running_ && comparablePath(running_->app.bundlePath) == original) {
    env_.log("AppRelocatorEngine.enqueue: refusing duplicate for " + app.displayName + " (job " +
             running_->id + " currently running)");
    return std::nullopt;
  }
  for (const auto& queued : queue_) {
    if (comparablePath(queued.app.bundlePath) == original) {
      env_.log("AppRelocatorEngine.enqueue: refusing duplicate for " + app.displayName + " (job " +
               queued.id + " already queued)");
      return std::nullopt;
    }
  }
  EngineJob job{*canonicalUuid(newUuid()), app, destinationRoot, classification, overrideAccepted};
  queue_.push_back(job);
  return job.id;
}

void AppRelocatorEngine::drain() {
  while (runNext()) {
  }
}

bool AppRelocatorEngine::runNext() {
  if (queue_.empty()) return false;
  running_ = queue_.front();
  queue_.pop_front();
  const EngineJob job = *running_;
  statusLine_ = "Moving “" + job.app.displayName + "” to your fast drive…";
  const auto done = runJob(job);
  EngineCompletion completion;
  completion.kind = EngineCompletion::Kind::kMove;
  completion.manifestID = job.id;
  completion.success = done.has_value();
  if (done) {
    const std::int64_t bytes = (job.app.sizeBytes / 1024) * 1024;
    ++appsMoved_;
    bytesMoved_ += bytes;
    bytesSaved_ += bytes;
    if (env_.transferEvents) {
      const transfers::TransferEvent event{env_.clock(), transfers::TransferService::kAppsRelocator,
                                           transfers::TransferDirection::kOut, bytes};
      if (auto appended = env_.transferEvents->append(event); !appended) {
        env_.log("AppRelocatorEngine: could not record the transfer of " + job.app.displayName +
                 ": " + appended.error().message());
      }
    }
    completion.sentence = movedSentence(job.app.displayName);
  } else {
    completion.reason = done.error().userMessage();
    completion.sentence = *completion.reason;
    env_.log("Brimvale: relocator job " + job.id + " failed: " + *completion.reason);
  }
  appStatus_[comparablePath(job.app.bundlePath)] = completion.sentence;
  statusLine_ = completion.sentence;
  lastFinished_ = env_.clock();
  running_.reset();
  announce(completion);
  return true;
}

std::expected<void, EngineError> AppRelocatorEngine::runJob(const EngineJob& job) {
  mover::RelocatorLock lock(env_.paths.state);
  if (auto held = lock.acquire(kLockWait); !held) {
    return std::unexpected(EngineError::message(held.error().detail +
                                                " Nothing was moved; your app is untouched. "
                                                "Try again when the other move has finished."));
  }
  NineStepMachine machine(env_, job);
  machine.setCopyObserver(copyObserver_);
  return machine.run();
}

void AppRelocatorEngine::purgeQuarantineDir(const fs::path& path) { purgeQuarantine(env_, path); }

std::string AppRelocatorEngine::restoreStamp() const {
  std::string stamp = isots(env_.clock());
  std::ranges::replace(stamp, ':', '-');
  return stamp;
}

fs::path AppRelocatorEngine::journalFile(const std::string& manifestID) const {
  return journalFolder(env_.paths) / (manifestID + ".json");
}

void AppRelocatorEngine::writeJournal(const MoveBackJournal& journal) const {
  json j{{"manifestID", journal.manifestID},
         {"stagingPath", journal.stagingPath},
         {"stamp", journal.stamp}};
  if (journal.asidePath) j["asidePath"] = *journal.asidePath;
  std::error_code ec;
  fs::create_directories(journalFolder(env_.paths), ec);
  if (auto written = writeFileAtomically(journalFile(journal.manifestID), j.dump(2) + "\n");
      !written) {
    env_.log("AppRelocatorEngine.runMoveBack: could not record progress for " + journal.manifestID +
             ": " + written.error().message());
  }
}

void AppRelocatorEngine::breadcrumb(const AppMoveManifest& manifest,
                                    const std::string& quarantinePath, OrphanReason reason,
                                    const std::string& error) {
  leaveOrphanBreadcrumb(
      env_, {manifest.id, manifest.displayName, manifest.bundleID.value_or(""),
             manifest.originalPath, quarantinePath, manifest.nvmePath, reason, error, 0});
}

void AppRelocatorEngine::rollbackMoveBack(const AppMoveManifest& manifest,
                                          const MoveBackJournal& journal, bool linkRemoved,
                                          OrphanReason reason, const std::string& error) {
  env_.log("AppRelocatorEngine.runMoveBack: rolling back due to " + error);
  const fs::path original = manifest.originalPath;
  if (auto ec = env_.files->removeAll(journal.stagingPath)) {
    env_.log("AppRelocatorEngine.runMoveBack: could not remove the staged copy at " +
             journal.stagingPath + ": " + ec.message());
  }
  if (journal.asidePath && somethingAt(*journal.asidePath) && !somethingAt(original)) {
    const auto back = moveBundle(env_, *journal.asidePath, original);
    if (back.outcome != ParkOutcome::kMoved) {
      env_.log("AppRelocatorEngine.runMoveBack: CRITICAL — could not put " + *journal.asidePath +
               " back at " + original.string() + ": " + back.error);
    }
  }
  if (linkRemoved && !somethingAt(original)) {
    if (auto ec = env_.files->createDirectorySymlink(manifest.nvmePath, original)) {
      env_.log("AppRelocatorEngine.runMoveBack: CRITICAL — could not restore the link at " +
               original.string() + ": " + ec.message());
    }
  }
  breadcrumb(manifest, journal.asidePath.value_or(journal.stagingPath), reason, error);
  env_.files->remove(journalFile(manifest.id));
}

std::expected<EngineCompletion, EngineError> AppRelocatorEngine::runMoveBack(
    const std::string& manifestID) {
  const auto found = moveWithId(env_.store->loadAll(), manifestID);
  if (!found) {
    return std::unexpected(EngineError::withPath(EngineErrorKind::kManifestNotFound, manifestID));
  }
  AppMoveManifest manifest = *found;
  if (manifest.phase != AppMovePhase::kDone) {
    return std::unexpected(
        EngineError::notCompleted(std::string(rawNameOf(kAppMovePhaseNames, manifest.phase))));
  }
  const fs::path nvme = manifest.nvmePath;
  std::error_code ec;
  if (manifest.nvmePath.empty() || !fs::is_directory(nvme, ec)) {
    return std::unexpected(EngineError::withPath(EngineErrorKind::kNvmeCopyMissing, nvme));
  }
  mover::RelocatorLock lock(env_.paths.state);
  if (auto held = lock.acquire(kLockWait); !held) {
    return std::unexpected(EngineError::message(
        held.error().detail +
        " Nothing was changed; the app still works from your fast drive. Try again when the "
        "other move has finished."));
  }
  const fs::path original = manifest.originalPath;
  MoveBackJournal journal{manifest.id, original.string() + ".restoring", std::nullopt,
                          restoreStamp()};
  writeJournal(journal);
  EngineCompletion completion;
  completion.kind = EngineCompletion::Kind::kRestore;
  completion.manifestID = manifest.id;
  const auto failed = [&](const EngineError& error) {
    completion.success = false;
    completion.reason = error.userMessage();
    completion.sentence = *completion.reason;
    announce(completion);
    return std::unexpected(error);
  };

  // 1. Stage a full copy beside the original path.
  env_.files->removeAll(journal.stagingPath);
  const auto observe = [](const platform::BundleCopyProgress&) {
    stopPoint("app-move-back-copying");
  };
  if (auto copied = env_.tools->copyBundle(nvme.string(), journal.stagingPath, "ditto-restore",
                                           kCopyDeadline, observe);
      !copied) {
    const EngineError error = engineErrorOf(copied.error());
    env_.log("AppRelocatorEngine.runMoveBack: rolling back due to " + error.userMessage());
    env_.files->removeAll(journal.stagingPath);
    env_.files->remove(journalFile(manifest.id));
    return failed(error);
  }
  env_.tools->clearDownloadQuarantine(journal.stagingPath);
  stopPoint("app-move-back-staged");

  // 2. Decide by what stands at the original path.
  bool linkRemoved = false;
  const auto status = fs::symlink_status(original, ec);
  if (fs::is_symlink(status)) {
    if (auto removed = env_.files->remove(original)) {
      const std::string error = "Couldn't remove the link at " + original.string() + ": " +
                                removed.message() +
                                ". Nothing was changed; the app still works from your fast drive.";
      env_.log("AppRelocatorEngine.runMoveBack: rolling back due to " + error);
      env_.files->removeAll(journal.stagingPath);
      env_.files->remove(journalFile(manifest.id));
      return failed(EngineError::message(error));
    }
    linkRemoved = true;
    stopPoint("app-move-back-unlinked");
  } else if (fs::exists(status)) {
    const auto internalVersion = readBundleVersion(original);
    const auto nvmeVersion = readBundleVersion(nvme);
    const bool intact = bundleIsIntact(original);
    completion.internalVersion = internalVersion ? internalVersion->text() : "";
    completion.nvmeVersion = nvmeVersion ? nvmeVersion->text() : "";
    const auto order = internalVersion && nvmeVersion
                           ? compareBundleVersions(*internalVersion, *nvmeVersion)
                           : std::nullopt;
    if (intact && order && *order >= 0) {
      env_.files->removeAll(journal.stagingPath);
      const bool safe = isUnderManagedRoot(nvme, env_.computerName);
      if (!safe) {
        env_.log("AppRelocatorEngine.runMoveBack: KEPT NVMe copy at " + nvme.string() +
                 " — internalIntact=true, safePath=false");
      } else if (auto removed = env_.files->removeAll(nvme)) {
        env_.log("AppRelocatorEngine.runMoveBack: failed to remove NVMe copy (keep-internal) at " +
                 nvme.string() + ": " + removed.message());
      }
      return finishMoveBack(manifest, std::move(completion),
                            std::string(kKeptInternalOutcomePrefix) + journal.stamp,
                            keptInternalSentence(manifest.displayName));
    }
    const auto root = quarantineRootFor(original, env_.paths.home);
    const std::string aside =
        root ? (*root / ("overwritten-by-restore-" + journal.stamp)).string() : std::string();
    journal.asidePath = aside;
    writeJournal(journal);
    ParkResult parked{ParkOutcome::kFailed, "no place on its disk to set it aside"};
    if (root) {
      if (auto made = env_.files->createDirectories(*root)) {
        parked.error = made.message();
      } else {
        parked = moveBundle(env_, original, aside);
      }
    }
    if (parked.outcome != ParkOutcome::kMoved) {
      const std::string why = parked.outcome == ParkOutcome::kCancelled
                                  ? "the administrator prompt was cancelled"
                                  : parked.error;
      const std::string error = "Couldn't set aside the copy of “" + manifest.displayName +
                                "” at " + original.string() + ": " + why +
                                ". Nothing was changed; both copies are where they were.";
      journal.asidePath.reset();
      rollbackMoveBack(manifest, journal, false, OrphanReason::kCaseCQuarantineFailed, error);
      return failed(EngineError::message(error));
    }
    stopPoint("app-move-back-aside");
  }

  // 3. Put the staged copy in place.
  if (auto renamed = env_.files->renameNoReplace(journal.stagingPath, original)) {
    const std::string error = "Couldn't put “" + manifest.displayName + "” back at " +
                              original.string() + ": " + renamed.message() +
                              ". Nothing was lost; the app still works from where it was.";
    rollbackMoveBack(manifest, journal, linkRemoved, OrphanReason::kStageRenameFailed, error);
    return failed(EngineError::message(error));
  }
  stopPoint("app-move-back-renamed");

  // 4. Tell the desktop, then drop the drive copy.
  if (auto done = env_.tools->registerApp(original.string(), "lsregister-restore"); !done) {
    env_.log("AppRelocatorEngine.runMoveBack: lsregister failed but bundle is in place: " +
             toolErrorText(done.error()));
  }
  if (auto done = env_.tools->reindex(original.string(), "mdimport-restore"); !done) {
    env_.log("AppRelocatorEngine.runMoveBack: mdimport failed (non-fatal): " +
             toolErrorText(done.error()));
  }
  if (auto done = env_.tools->refreshDock("killall-Dock-restore"); !done) {
    env_.log("AppRelocatorEngine.runMoveBack: Dock refresh failed (non-fatal): " +
             toolErrorText(done.error()));
  }
  if (!isUnderManagedRoot(nvme, env_.computerName)) {
    env_.log(
        "AppRelocatorEngine.runMoveBack: REFUSED unsafe NVMe delete (not under a managed "
        "root): " +
        nvme.string() + " — leaking the NVMe copy");
  } else if (auto removed = env_.files->removeAll(nvme)) {
    env_.log("AppRelocatorEngine.runMoveBack: failed to remove NVMe copy at " + nvme.string() +
             ": " + removed.message() + " — leaking the NVMe copy");
  }
  return finishMoveBack(manifest, std::move(completion),
                        std::string(kRestoredOutcomePrefix) + journal.stamp,
                        restoredSentence(manifest.displayName));
}

EngineCompletion AppRelocatorEngine::finishMoveBack(AppMoveManifest& manifest,
                                                    EngineCompletion completion,
                                                    std::string outcome, std::string sentence) {
  manifest.statusMessage = std::move(outcome);
  env_.store->save(manifest);
  env_.files->remove(journalFile(manifest.id));
  completion.success = true;
  completion.outcome = manifest.statusMessage;
  completion.sentence = std::move(sentence);
  announce(completion);
  return completion;
}

bool AppRelocatorEngine::underApplicationRoot(const std::string& originalPath) const {
  const fs::path path(originalPath);
  if (!path.is_absolute() ||
      std::ranges::any_of(path, [](const fs::path& part) { return part == ".."; })) {
    return false;
  }
  const std::string normal = comparablePath(path);
  return std::ranges::any_of(env_.applicationRoots, [&](const fs::path& root) {
    return normal.starts_with(comparablePath(root) + "/");
  });
}

std::optional<fs::path> AppRelocatorEngine::findQuarantine(const AppMoveManifest& manifest) const {
  if (manifest.quarantinePath) {
    // A recorded place that is empty means the original is no longer parked:
    // another move's quarantine must never be taken for it.
    if (somethingAt(*manifest.quarantinePath)) return fs::path(*manifest.quarantinePath);
    return std::nullopt;
  }
  const fs::path original = manifest.originalPath;
  std::vector<fs::path> roots{homeQuarantineRoot(env_.paths.home)};
  if (const auto root = quarantineRootFor(original, env_.paths.home)) roots.push_back(*root);
  const std::string exact = quarantineName(manifest.bundleID, manifest.startedAt);
  const std::string prefix = quarantinePrefix(manifest.bundleID);
  std::optional<fs::path> best;
  fs::file_time_type bestTime{};
  for (const auto& root : roots) {
    if (somethingAt(root / exact)) return root / exact;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->path().filename().string().starts_with(prefix)) continue;
      std::error_code timeError;
      const auto time = fs::last_write_time(it->path(), timeError);
      if (timeError) continue;
      if (!best || time > bestTime) {
        best = it->path();
        bestTime = time;
      }
    }
  }
  return best;
}

void AppRelocatorEngine::restoreLink(const AppMoveManifest& manifest,
                                     std::vector<std::string>& actions) {
  if (auto ec = env_.files->createDirectorySymlink(manifest.nvmePath, manifest.originalPath)) {
    actions.push_back("relink_failed:" + ec.message());
  } else {
    actions.push_back("relinked_to_nvme_copy");
  }
}

RecoveryReport AppRelocatorEngine::recoverForwardMove(AppMoveManifest manifest) {
  RecoveryReport report{manifest.id, {}};
  auto& actions = report.actions;
  const fs::path original = manifest.originalPath;
  const auto quarantine = findQuarantine(manifest);
  if (isLinkTo(original, manifest.nvmePath)) {
    if (!quarantine) {
      // Nothing to put back: the link to the verified copy is the only way to the app.
      actions.push_back("kept_symlink_no_quarantine");
    } else if (auto ec = env_.files->remove(original)) {
      actions.push_back("remove_symlink_failed:" + ec.message());
      env_.log("RecoveryDriver: failed to remove symlink at " + original.string() + ": " +
               ec.message());
    } else {
      actions.push_back("removed_symlink");
    }
  }
  if (quarantine && !somethingAt(original)) {
    const auto restored = moveBundle(env_, *quarantine, original);
    if (restored.outcome == ParkOutcome::kMoved) {
      actions.push_back("restored_from_quarantine");
    } else {
      const std::string error = restored.outcome == ParkOutcome::kCancelled
                                    ? "the administrator prompt was cancelled"
                                    : restored.error;
      actions.push_back("restore_failed:" + error);
      env_.log("RecoveryDriver: CRITICAL — failed to restore quarantine " + quarantine->string() +
               " to " + original.string() + ": " + error);
      breadcrumb(manifest, quarantine->string(), OrphanReason::kRecoveryRestoreFailed, error);
    }
  } else if (isRealFolder(original)) {
    actions.push_back("source_is_real_directory_no_restore_needed");
  }
  const fs::path nvme = manifest.nvmePath;
  if (!manifest.nvmePath.empty() && somethingAt(nvme)) {
    if (!isUnderManagedRoot(nvme, env_.computerName)) {
      actions.push_back("nvme_cleanup_refused_unsafe_path");
      env_.log("RecoveryDriver: REFUSED unsafe NVMe delete (not under a managed root): " +
               nvme.string());
    } else if (!isRealFolder(original)) {
      // The copy may be the only whole bundle left.
      actions.push_back("kept_nvme_copy_original_not_restored");
    } else if (auto ec = env_.files->removeAll(nvme)) {
      actions.push_back("nvme_cleanup_failed:" + ec.message());
      env_.log("RecoveryDriver: failed to clean up NVMe partial " + nvme.string() + ": " +
               ec.message());
    } else {
      actions.push_back("removed_partial_nvme_copy");
    }
  }
  manifest.statusMessage = "Recovered at launch — actions: [" + joined(actions) + "]";
  manifest.phase = AppMovePhase::kFailed;
  env_.store->save(manifest);
  env_.log("RecoveryDriver: manifest " + manifest.id + " recovered: " + joined(actions));
  return report;
}

void AppRelocatorEngine::recoverMoveBack(const MoveBackJournal& journal) {
  const auto manifest = moveWithId(env_.store->loadAll(), journal.manifestID);
  if (manifest) {
    std::vector<std::string> actions;
    const fs::path original = manifest->originalPath;
    const fs::path staging = journal.stagingPath;
    if (!somethingAt(original)) {
      if (journal.asidePath && somethingAt(*journal.asidePath)) {
        const auto back = moveBundle(env_, *journal.asidePath, original);
        actions.push_back(back.outcome == ParkOutcome::kMoved
                              ? "restored_internal_copy"
                              : "restore_internal_failed:" + back.error);
      } else if (isRealFolder(manifest->nvmePath)) {
        restoreLink(*manifest, actions);
      } else if (isRealFolder(staging)) {
        // The drive copy is gone, so the staged copy is the best there is.
        const auto ec = env_.files->renameNoReplace(staging, original);
        actions.push_back(ec ? "restore_staging_failed:" + ec.message() : "restored_from_staging");
      }
    }
    // The staged copy is only ever a duplicate once the app is reachable again.
    if (somethingAt(staging) && somethingAt(original) && staging != original) {
      if (auto ec = env_.files->removeAll(staging)) {
        actions.push_back("remove_staging_failed:" + ec.message());
      } else {
        actions.push_back("removed_staging");
      }
    }
    env_.log("AppRelocatorEngine.recoverMoveBack: manifest " + journal.manifestID +
             " recovered: " + joined(actions));
  }
  env_.files->remove(journalFile(journal.manifestID));
}

std::vector<RecoveryReport> AppRelocatorEngine::recoverPendingManifests() {
  std::vector<RecoveryReport> reports;
  mover::RelocatorLock lock(env_.paths.state);
  if (auto held = lock.acquire(kLockWait); !held) {
    // Another process is moving an app; its records are not ours to repair.
    env_.log("AppRelocatorEngine.recoverPendingManifests: skipped — " + held.error().detail);
    return reports;
  }
  std::error_code ec;
  for (fs::directory_iterator it(journalFolder(env_.paths), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().extension() != ".json") continue;
    const auto text = readFile(it->path());
    const auto journal = text ? decodeJournal(*text) : std::nullopt;
    if (!journal || journalFile(journal->manifestID) != it->path()) {
      env_.log("AppRelocatorEngine.recoverPendingManifests: unreadable move-back record " +
               it->path().string());
      continue;
    }
    recoverMoveBack(*journal);
  }
  for (auto& manifest : env_.store->loadAll()) {
    const fs::path original = manifest.originalPath;
    const bool parked = manifest.quarantinePath && somethingAt(*manifest.quarantinePath);
    if (manifest.phase == AppMovePhase::kDone) {
      // Committed, but the parked original outlived a crash before its purge.
      if (parked && isLinkTo(original, manifest.nvmePath)) {
        purgeQuarantine(env_, *manifest.quarantinePath);
      }
      continue;
    }
    // A rollback cut short leaves a failed record whose original is still parked.
    const bool strandedRollback =
        manifest.phase == AppMovePhase::kFailed && parked && !isRealFolder(original);
    if (!isUnfinished(manifest.phase) && !strandedRollback) continue;
    if (!underApplicationRoot(manifest.originalPath)) {
      env_.log("AppRelocatorEngine.recoverPendingManifests: rejecting manifest " + manifest.id +
               " — originalPath " + manifest.originalPath +
               " does not resolve under any canonical /Applications root");
      continue;
    }
    reports.push_back(recoverForwardMove(std::move(manifest)));
  }
  return reports;
}

void AppRelocatorEngine::reclaimCommittedQuarantines() {
  const fs::path migrations = env_.paths.state / ".migrations";
  const fs::path marker = migrations / "quarantine-reclaim-v1.done";
  if (somethingAt(marker)) return;
  int reclaimed = 0;
  int skipped = 0;
  std::int64_t bytes = 0;
  for (const auto& manifest : env_.store->loadAll()) {
    if (manifest.phase != AppMovePhase::kDone) continue;
    const fs::path parked = manifest.quarantinePath
                                ? fs::path(*manifest.quarantinePath)
                                : homeQuarantineRoot(env_.paths.home) /
                                      quarantineName(manifest.bundleID, manifest.startedAt);
    if (!somethingAt(parked) || !isUnderQuarantineRoot(parked, env_.paths.home)) continue;
    if (::access(parked.c_str(), W_OK) != 0) {
      ++skipped;
      continue;
    }
    const auto metrics = bundleMetrics(parked);
    if (auto ec = env_.files->removeAll(parked)) {
      env_.log("AppRelocatorEngine.reclaimCommittedQuarantines: couldn't remove " +
               parked.string() + ": " + ec.message());
      continue;
    }
    ++reclaimed;
    if (metrics) bytes += metrics->totalBytes;
  }
  env_.log("AppRelocatorEngine.reclaimCommittedQuarantines: reclaimed " +
           std::to_string(reclaimed) + " quarantine(s) (~" + std::to_string(bytes / (1024 * 1024)) +
           " MB), skipped " + std::to_string(skipped) + " root-owned.");
  env_.files->createDirectories(migrations);
  if (auto touched = touchFile(marker); !touched) {
    env_.log("AppRelocatorEngine.reclaimCommittedQuarantines: could not record that it ran: " +
             touched.error().message());
  }
}

}  // namespace brimvale::apps
