#include "apps/app_relocator_engine.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include <nlohmann/json.hpp>

#include "apps/app_move_guards.h"
#include "apps/bundle_guard.h"
#include "apps/bundle_metrics.h"
#include "apps/bundle_version.h"
#include "common/base/file_io.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "mover/manifest.h"

namespace brimvale::apps {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds kCopyDeadline{86400};
constexpr std::chrono::milliseconds kLockWait{0};

std::string toolErrorText(const platform::ToolFailure& failure) {
  return engineErrorOf(failure).userMessage();
}

// What the action lists call the three ends of a retired copy.
struct RetireWords {
  std::string_view removed, keptAs, failed;
};
constexpr RetireWords kStagingWords{"removed_staging",
                                    "kept_staging_as:", "remove_staging_failed:"};
constexpr RetireWords kPartialCopyWords{"removed_partial_nvme_copy",
                                        "kept_nvme_copy_as:", "nvme_cleanup_failed:"};

// Retires `doomed` against `kept`, its bytes compared since nobody knows when
// it was made, and names in `words` what became of it.
std::string retiredAction(const fs::path& doomed, const fs::path& kept, FileOperations& files,
                          const RetireWords& words) {
  const Retired retired = retire(doomed, kept, ReplaceGuard{}, files);
  if (retired.gone) return std::string(words.removed);
  if (retired.keptAt) return std::string(words.keptAs) + retired.keptAt->string();
  return std::string(words.failed) + retired.error;
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
  return MoveBackJournal{*id, *staging, *stamp};
}

}  // namespace

std::string_view completionName(const EngineCompletion& completion) {
  return completion.kind == EngineCompletion::Kind::kMove ? kDidCompleteMove : kDidCompleteRestore;
}

nlohmann::json completionUserInfo(const EngineCompletion& completion) {
  nlohmann::json info{{"manifestID", completion.manifestID}, {"success", completion.success}};
  if (!completion.success) info["reason"] = completion.reason.value_or("");
  const std::pair<const char*, const std::optional<std::string>*> restoreKeys[] = {
      {"outcome", &completion.outcome},
      {"internalVersion", &completion.internalVersion},
      {"nvmeVersion", &completion.nvmeVersion}};
  for (const auto& [key, value] : restoreKeys) {
    if (*value) info[key] = **value;
  }
  return info;
}

std::string movedSentence(const std::string& displayName) {
  return "Moved “" + displayName + "” to your fast drive and kept it working.";
}

std::string restoredSentence(const std::string& displayName) {
  return "Brought “" + displayName + "” back to your internal disk; it opens from there again.";
}

std::string keptInternalSentence(const std::string& displayName) {
  return "Kept the copy of “" + displayName +
         "” that was reinstalled on your internal disk; it opens from there.";
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
  EngineCompletion completion;
  auto done = runJob(job, completion.kept);
  if (done) {
    if (const std::string wrong = notHolding(job, completion.kept); !wrong.empty()) {
      done = std::unexpected(EngineError::message(wrong));
    }
  }
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

std::expected<void, EngineError> AppRelocatorEngine::runJob(const EngineJob& job,
                                                            std::vector<std::string>& kept) {
  mover::RelocatorLock lock(env_.paths.state);
  if (auto held = lock.acquire(kLockWait); !held) {
    return std::unexpected(EngineError::message(held.error().detail +
                                                " Nothing was moved; your app is untouched. "
                                                "Try again when the other move has finished."));
  }
  NineStepMachine machine(env_, job);
  machine.setCopyObserver(copyObserver_);
  auto done = machine.run();
  kept = machine.kept();
  return done;
}

std::string AppRelocatorEngine::notHolding(const EngineJob& job,
                                           const std::vector<std::string>& kept) const {
  const std::string name = "“" + job.app.displayName + "”";
  const auto record = moveWithId(env_.store->loadAll(), job.id);
  if (!record || record->phase != AppMovePhase::kDone) {
    return name + " was moved to your fast drive, but its record could not be read back from " +
           env_.store->folder().string() + ". Run the same command again to check it.";
  }
  if (!isLinkTo(record->originalPath, record->nvmePath)) {
    return name + " was moved to your fast drive, but the link at " + record->originalPath +
           " was changed by another program. The app is at " + record->nvmePath + ".";
  }
  if (!isRealFolder(record->nvmePath)) {
    return name + " was moved to your fast drive, but " + record->nvmePath +
           " can no longer be reached; the drive may have been disconnected. Reconnect it and run "
           "the same command again.";
  }
  if (record->quarantinePath && somethingAt(*record->quarantinePath) &&
      std::ranges::find(kept, *record->quarantinePath) == kept.end()) {
    return name + " is on your fast drive, but its original is still parked at " +
           *record->quarantinePath +
           " because the drive went away before it could be compared. Reconnect the drive and run "
           "the same command again.";
  }
  return {};
}

std::string AppRelocatorEngine::restoreStamp() const {
  std::string stamp = isots(env_.clock());
  std::ranges::replace(stamp, ':', '-');
  return stamp;
}

fs::path AppRelocatorEngine::journalFile(const std::string& manifestID) const {
  return journalFolder(env_.paths) / (manifestID + ".json");
}

bool AppRelocatorEngine::writeJournal(const MoveBackJournal& journal) const {
  const json j{{"manifestID", journal.manifestID},
               {"stagingPath", journal.stagingPath},
               {"stamp", journal.stamp}};
  std::error_code ec;
  fs::create_directories(journalFolder(env_.paths), ec);
  auto written = writeFileAtomically(journalFile(journal.manifestID), j.dump(2) + "\n");
  if (!written) {
    env_.log("AppRelocatorEngine.runMoveBack: could not record progress for " + journal.manifestID +
             ": " + written.error().message());
  }
  return written.has_value();
}

void AppRelocatorEngine::breadcrumb(const AppMoveManifest& manifest,
                                    const std::string& quarantinePath, OrphanReason reason,
                                    const std::string& error) {
  leaveOrphanBreadcrumb(
      env_, {manifest.id, manifest.displayName, manifest.bundleID.value_or(""),
             manifest.originalPath, quarantinePath, manifest.nvmePath, reason, error, 0});
}

bool AppRelocatorEngine::retireDriveCopy(const std::optional<MountAnchor>& anchor,
                                         const fs::path& nvme, const fs::path& kept,
                                         const ReplaceGuard& guard,
                                         std::vector<std::string>& keptPaths,
                                         const std::string& logPrefix) {
  if (!somethingAt(nvme)) return true;
  if (!isUnderManagedRoot(nvme, env_.computerName)) {
    env_.log(logPrefix + "REFUSED unsafe NVMe delete (not under a managed root): " + nvme.string() +
             " — leaking the NVMe copy");
    keptPaths.push_back(nvme.string());
    return false;
  }
  if (!anchor || !anchor->holds(nvme)) {
    env_.log(logPrefix + "KEPT NVMe copy at " + nvme.string() +
             " — the drive is no longer the one mounted when this began");
    keptPaths.push_back(nvme.string());
    return false;
  }
  const Retired retired = retire(nvme, kept, guard, *env_.files);
  if (retired.gone) return true;
  if (retired.keptAt) {
    keptPaths.push_back(retired.keptAt->string());
    env_.log(logPrefix + "KEPT NVMe copy as " + retired.keptAt->string() + " — it differs from " +
             kept.string() + " in " + namedEntries(retired.differing));
  } else {
    env_.log(logPrefix + "failed to remove NVMe copy at " + nvme.string() + ": " + retired.error +
             " — leaking the NVMe copy");
    keptPaths.push_back(nvme.string());
  }
  return false;
}

void AppRelocatorEngine::retireStaging(const AppMoveManifest& manifest, const fs::path& staging,
                                       std::vector<std::string>& actions) {
  if (!somethingAt(staging)) return;
  // Compared with the copy it was made from; failing that, with what stands home.
  const fs::path against = isRealFolder(manifest.nvmePath) ? fs::path(manifest.nvmePath)
                                                           : fs::path(manifest.originalPath);
  actions.push_back(retiredAction(staging, against, *env_.files, kStagingWords));
}

void AppRelocatorEngine::rollbackMoveBack(const AppMoveManifest& manifest,
                                          const MoveBackJournal& journal, bool linkRemoved,
                                          OrphanReason reason, const std::string& error) {
  env_.log("AppRelocatorEngine.runMoveBack: rolling back due to " + error);
  const fs::path original = manifest.originalPath;
  if (linkRemoved && !somethingAt(original)) {
    if (auto ec = env_.files->createDirectorySymlink(manifest.nvmePath, original)) {
      env_.log("AppRelocatorEngine.runMoveBack: CRITICAL — could not restore the link at " +
               original.string() + ": " + ec.message());
    }
  }
  std::vector<std::string> actions;
  retireStaging(manifest, journal.stagingPath, actions);
  if (!actions.empty()) env_.log("AppRelocatorEngine.runMoveBack: " + joinedWith(actions, ", "));
  breadcrumb(manifest, journal.stagingPath, reason, error);
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
        EngineError::notCompleted(rawInWords(rawNameOf(kAppMovePhaseNames, manifest.phase))));
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
  const auto status = fs::symlink_status(original, ec);
  const bool ourLink = isLinkTo(original, manifest.nvmePath);
  if (fs::exists(status) && !ourLink && !fs::is_directory(status)) {
    return std::unexpected(EngineError::message(
        "Something other than “" + manifest.displayName + "” is at " + original.string() +
        ", so the app was not brought back. Nothing was changed; the app still works from " +
        nvme.string() + "."));
  }
  std::optional<MountAnchor> anchor;
  if (const auto drive = driveOf(nvme, env_.computerName)) anchor = MountAnchor::take(*drive);
  MoveBackJournal journal{manifest.id, original.string() + ".restoring", restoreStamp()};
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

  // Reinstalled while it lived on the drive: what stands home stays, and the
  // drive copy goes only where every file of it is there too.
  if (fs::is_directory(status)) {
    const auto internalVersion = readBundleVersion(original);
    const auto nvmeVersion = readBundleVersion(nvme);
    completion.internalVersion = internalVersion ? internalVersion->text() : "";
    completion.nvmeVersion = nvmeVersion ? nvmeVersion->text() : "";
    retireDriveCopy(anchor, nvme, original, ReplaceGuard({.alwaysCompareBytes = true}),
                    completion.kept, "AppRelocatorEngine.runMoveBack: ");
    stopPoint("app-move-back-retired");
    return finishMoveBack(manifest, std::move(completion),
                          std::string(kKeptInternalOutcomePrefix) + journal.stamp,
                          keptInternalSentence(manifest.displayName));
  }
  // Without it a crash halfway would leave nobody knowing where the staged copy is.
  if (!writeJournal(journal)) {
    return failed(EngineError::message(
        "Couldn't write the record of this move back in " + journalFolder(env_.paths).string() +
        " (the disk may be full or read-only). Nothing was changed; the app still works from "
        "your fast drive."));
  }

  // 1. Stage a full copy beside the original path.
  std::vector<std::string> actions;
  retireStaging(manifest, journal.stagingPath, actions);
  if (somethingAt(journal.stagingPath)) {
    const std::string error = "Couldn't clear " + journal.stagingPath + " (" +
                              joinedWith(actions, ", ") +
                              "). Nothing was changed; the app still works from your fast drive.";
    env_.files->remove(journalFile(manifest.id));
    return failed(EngineError::message(error));
  }
  for (const auto& action : actions) {
    if (action.starts_with("kept_staging_as:")) completion.kept.push_back(action.substr(16));
  }
  // Before anything at the original path changed: only the staged copy goes.
  const auto abandon = [&](const std::string& error) {
    env_.log("AppRelocatorEngine.runMoveBack: rolling back due to " + error);
    std::vector<std::string> cleared;
    retireStaging(manifest, journal.stagingPath, cleared);
    env_.log("AppRelocatorEngine.runMoveBack: " + joinedWith(cleared, ", "));
    env_.files->remove(journalFile(manifest.id));
  };
  const auto observe = [this](const platform::BundleCopyProgress& progress) {
    stopPoint("app-move-back-copying");
    if (copyObserver_) copyObserver_(progress);
  };
  const auto copyStarted = std::chrono::system_clock::now();
  if (auto copied = env_.tools->copyBundle(nvme.string(), journal.stagingPath, "ditto-restore",
                                           kCopyDeadline, observe);
      !copied) {
    const EngineError error = engineErrorOf(copied.error());
    abandon(error.userMessage());
    return failed(error);
  }
  env_.tools->clearDownloadQuarantine(journal.stagingPath);
  // Written on the drive while it was copied: copied again, so the drive
  // copy can go. What keeps changing is kept with the drive copy below.
  const ReplaceGuard guard({.copyStarted = copyStarted});
  if (auto caught = catchUp(*env_.tools, *env_.files, nvme, journal.stagingPath, guard); !caught) {
    const std::string error = caught.error() +
                              " Nothing was changed; the app still works from "
                              "your fast drive.";
    abandon(error);
    return failed(EngineError::message(error));
  }
  stopPoint("app-move-back-staged");

  // 2. The staged copy takes the link's place in one step, so the app is
  // never missing from its path; where the file system cannot swap, the
  // link goes first.
  bool swapped = false;
  if (ourLink) {
    const std::error_code ec = env_.exchange(journal.stagingPath, original);
    if (!ec) {
      swapped = true;
    } else if (ec != std::errc::not_supported) {
      const std::string error = "Couldn't put “" + manifest.displayName + "” back at " +
                                original.string() + ": " + ec.message() +
                                ". Nothing was changed; the app still works from your fast drive.";
      abandon(error);
      return failed(EngineError::message(error));
    }
  }
  if (!swapped) {
    if (ourLink) {
      if (auto removed = env_.files->remove(original)) {
        const std::string error =
            "Couldn't remove the link at " + original.string() + ": " + removed.message() +
            ". Nothing was changed; the app still works from your fast drive.";
        abandon(error);
        return failed(EngineError::message(error));
      }
      stopPoint("app-move-back-unlinked");
    }
    if (auto renamed = env_.files->renameNoReplace(journal.stagingPath, original)) {
      const std::string error = "Couldn't put “" + manifest.displayName + "” back at " +
                                original.string() + ": " + renamed.message() +
                                ". Nothing was lost; the app still works from where it was.";
      rollbackMoveBack(manifest, journal, ourLink, OrphanReason::kStageRenameFailed, error);
      return failed(EngineError::message(error));
    }
  }
  stopPoint("app-move-back-renamed");
  if (swapped) {
    // Our link now stands where the staged copy was.
    if (auto removed = env_.files->remove(journal.stagingPath)) {
      env_.log("AppRelocatorEngine.runMoveBack: could not remove the old link, now at " +
               journal.stagingPath + ": " + removed.message());
    }
    stopPoint("app-move-back-unlinked");
  }

  // 4. Tell the desktop, then retire the drive copy.
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
  if (!isRealFolder(original)) {
    env_.files->remove(journalFile(manifest.id));
    return failed(EngineError::message("“" + manifest.displayName + "” was copied back, but " +
                                       original.string() +
                                       " was changed by another program meanwhile. Nothing "
                                       "was lost; the copy on your fast drive is still there."));
  }
  retireDriveCopy(anchor, nvme, original, guard, completion.kept,
                  "AppRelocatorEngine.runMoveBack: ");
  stopPoint("app-move-back-retired");
  return finishMoveBack(manifest, std::move(completion),
                        std::string(kRestoredOutcomePrefix) + journal.stamp,
                        restoredSentence(manifest.displayName));
}

std::expected<EngineCompletion, EngineError> AppRelocatorEngine::finishMoveBack(
    AppMoveManifest& manifest, EngineCompletion completion, std::string outcome,
    std::string sentence) {
  manifest.statusMessage = std::move(outcome);
  const bool saved = env_.store->save(manifest);
  // What the caller is told must still hold after the last step.
  if (saved && !isRealFolder(manifest.originalPath)) {
    env_.files->remove(journalFile(manifest.id));
    completion.success = false;
    completion.reason = "“" + manifest.displayName + "” was put back at " + manifest.originalPath +
                        ", but another program replaced it there right after. Brimvale deleted "
                        "nothing that was not in the copy it put back; look at " +
                        manifest.originalPath + ".";
    completion.sentence = *completion.reason;
    announce(completion);
    return std::unexpected(EngineError::message(*completion.reason));
  }
  if (!saved) {
    // The app is home, but a record still naming it live would send the
    // next look at it the wrong way.
    completion.success = false;
    completion.reason = "“" + manifest.displayName + "” is back at " + manifest.originalPath +
                        ", but its record in " + env_.store->folder().string() +
                        " could not be updated (the disk may be full or read-only). Nothing was "
                        "lost; run the same command again once the disk has room.";
    completion.sentence = *completion.reason;
    announce(completion);
    return std::unexpected(EngineError::message(*completion.reason));
  }
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
    } else {
      actions.push_back(retiredAction(nvme, original, *env_.files, kPartialCopyWords));
    }
  }
  manifest.statusMessage = "Recovered at launch — actions: [" + joinedWith(actions, ", ") + "]";
  manifest.phase = AppMovePhase::kFailed;
  env_.store->save(manifest);
  env_.log("RecoveryDriver: manifest " + manifest.id + " recovered: " + joinedWith(actions, ", "));
  return report;
}

void AppRelocatorEngine::recoverMoveBack(const MoveBackJournal& journal) {
  auto manifest = moveWithId(env_.store->loadAll(), journal.manifestID);
  if (manifest) {
    std::vector<std::string> actions;
    const fs::path original = manifest->originalPath;
    const fs::path staging = journal.stagingPath;
    // Cut short right after the swap: our link stands at the staging path.
    if (isLinkTo(staging, manifest->nvmePath) && isRealFolder(original)) {
      const auto ec = env_.files->remove(staging);
      actions.push_back(ec ? "remove_old_link_failed:" + ec.message() : "removed_old_link");
    }
    if (!somethingAt(original)) {
      if (isRealFolder(manifest->nvmePath)) {
        restoreLink(*manifest, actions);
      } else if (isRealFolder(staging)) {
        // The drive copy is gone, so the staged copy is the best there is.
        const auto ec = env_.files->renameNoReplace(staging, original);
        actions.push_back(ec ? "restore_staging_failed:" + ec.message() : "restored_from_staging");
      }
    } else if (isRealFolder(original) && !somethingAt(staging) && isLiveRelocation(*manifest)) {
      // Cut short after the staged copy was put in place: finish the move back.
      std::optional<MountAnchor> anchor;
      if (const auto drive = driveOf(manifest->nvmePath, env_.computerName)) {
        anchor = MountAnchor::take(*drive);
      }
      std::vector<std::string> kept;
      if (retireDriveCopy(anchor, manifest->nvmePath, original, ReplaceGuard{}, kept,
                          "AppRelocatorEngine.recoverMoveBack: ")) {
        actions.push_back("removed_nvme_copy");
      }
      for (const auto& path : kept) actions.push_back("kept_nvme_copy_as:" + path);
      manifest->statusMessage = std::string(kRestoredOutcomePrefix) + journal.stamp;
      env_.store->save(*manifest);
      actions.push_back("recorded_restore");
    }
    // The staged copy is only ever a duplicate once the app is reachable again.
    if (somethingAt(staging) && somethingAt(original) && staging != original) {
      retireStaging(*manifest, staging, actions);
    }
    env_.log("AppRelocatorEngine.recoverMoveBack: manifest " + journal.manifestID +
             " recovered: " + joinedWith(actions, ", "));
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
      if (parked && isLinkTo(original, manifest.nvmePath) && isRealFolder(manifest.nvmePath)) {
        // What it keeps, and what it cannot remove, it logs itself.
        (void)purgeQuarantine(env_, *manifest.quarantinePath, manifest.nvmePath, original,
                              ReplaceGuard{});
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
    // Only what the copy on the drive holds too; the rest is kept beside the app.
    if (!isRealFolder(manifest.nvmePath) ||
        purgeQuarantine(env_, parked, manifest.nvmePath, manifest.originalPath, ReplaceGuard{})) {
      env_.log("AppRelocatorEngine.reclaimCommittedQuarantines: couldn't remove " +
               parked.string() + ": it does not match " + manifest.nvmePath);
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
