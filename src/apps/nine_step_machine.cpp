#include "apps/nine_step_machine.h"

#include <array>
#include <chrono>
#include <system_error>

#include "apps/app_move_guards.h"
#include "common/base/stop_point.h"

namespace brimvale::apps {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds kStepCopyDeadline{86400};
constexpr std::string_view kUntouched = " Nothing was moved; your app is untouched.";
constexpr std::string_view kRolledBack = " Move rolled back; your app is untouched.";

json tccJson(const std::vector<TCCEntitlement>& entitlements) {
  json out = json::array();
  for (const auto& e : entitlements) {
    out.push_back(
        {{"key", e.key}, {"displayName", e.displayName}, {"source", tccSourceRaw(e.source)}});
  }
  return out;
}

json helpersJson(const std::vector<HelperToolReference>& helpers) {
  json out = json::array();
  for (const auto& h : helpers) {
    out.push_back({{"plistPath", h.plistPath.string()},
                   {"label", h.label},
                   {"programPath", h.programPath},
                   {"kind", helperKindRaw(h.kind)}});
  }
  return out;
}

bool pathsOutsideTheSystem(LoadPathKind kind) {
  return kind == LoadPathKind::kHardcodedAppPath || kind == LoadPathKind::kUnsupportedAbsolute;
}

std::string stepToolErrorText(const platform::ToolFailure& failure) {
  return engineErrorOf(failure).userMessage();
}

}  // namespace

fs::path EngineJob::destinationBundle() const {
  return destinationRoot / fs::path(comparablePath(app.bundlePath)).filename();
}

AppMoveManifest initialManifest(const EngineJob& job, std::time_t now) {
  AppMoveManifest m;
  m.id = job.id;
  m.version = kAppMoveManifestVersion;
  m.originalPath = comparablePath(job.app.bundlePath);
  m.bundleID = job.app.bundleIdentifier;
  m.displayName = job.app.displayName;
  m.srcSizeKB = job.app.sizeBytes / 1024;
  m.startedAt = now;
  m.updatedAt = now;
  m.phase = AppMovePhase::kWriting;
  const auto& c = job.classification;
  m.tccEntitlements = tccJson(c.tccEntitlements);
  m.updateFramework = std::string(updateFrameworkRaw(c.updateFramework));
  m.updateFrameworkDetails = c.updateFrameworkDetails;
  m.helperReferences = helpersJson(c.helperReferences);
  bool hardcoded = false;
  bool unsupported = false;
  for (const auto& command : c.dependencyReport) {
    if (!pathsOutsideTheSystem(command.kind)) continue;
    hardcoded = hardcoded || command.kind == LoadPathKind::kHardcodedAppPath;
    unsupported = unsupported || command.kind == LoadPathKind::kUnsupportedAbsolute;
    m.rpathScanDetails.push_back({{"binaryRelativePath", command.binaryRelativePath},
                                  {"loadPath", command.loadPath},
                                  {"kind", loadPathKindRaw(command.kind)}});
  }
  m.rpathScanResult = hardcoded ? "hardcoded_app_path" : unsupported ? "unsupported_path" : "ok";
  m.tierAtMove = static_cast<int>(c.tier);
  m.tierReasonAtMove = c.reason;
  m.overrideAccepted = job.overrideAccepted;
  m.migratedFromV1 = false;
  return m;
}

NineStepMachine::NineStepMachine(const AppMoveEnvironment& env, EngineJob job)
    : env_(env),
      job_(std::move(job)),
      manifest_(initialManifest(job_, env.clock())),
      original_(manifest_.originalPath),
      destination_(job_.destinationBundle()) {}

bool NineStepMachine::persist() { return env_.store->save(manifest_); }

NineStepMachine::Step NineStepMachine::persistOrFail() {
  if (persist()) return {};
  // A move its record does not describe could not be repaired after a crash.
  return std::unexpected(
      EngineError::message("Couldn't write the record of this move in " +
                           env_.store->folder().string() + " (the disk may be full or read-only)." +
                           std::string(manifest_.quarantinePath ? kRolledBack : kUntouched)));
}

NineStepMachine::Step NineStepMachine::driveHolds(const fs::path& onDrive) const {
  if (anchor_ && anchor_->holds(onDrive)) return {};
  const std::string ending(manifest_.quarantinePath ? kRolledBack : kUntouched);
  const auto drive = driveOf(job_.destinationRoot, env_.computerName);
  if (!drive) {
    return std::unexpected(EngineError::message(
        job_.destinationRoot.string() +
        " is not inside this computer's working folder on your fast drive." + ending));
  }
  return std::unexpected(EngineError::message(
      "Your fast drive is not connected at " + (anchor_ ? anchor_->mountPath() : *drive).string() +
      " (or was disconnected during the move)." + ending + " Connect the drive and try again."));
}

void NineStepMachine::keep(const fs::path& path, const std::string& why) {
  kept_.push_back(path.string());
  env_.log("AppRelocatorEngine: kept " + path.string() + " — " + why);
}

std::expected<void, EngineError> NineStepMachine::run() {
  using StepCall = Step (NineStepMachine::*)();
  static constexpr std::array<StepCall, 9> kSteps{
      &NineStepMachine::step1Preflight,  &NineStepMachine::step2Reserve,
      &NineStepMachine::step3Copy,       &NineStepMachine::step4Verify,
      &NineStepMachine::step5Quarantine, &NineStepMachine::step6Link,
      &NineStepMachine::step7Register,   &NineStepMachine::step8SpotlightCheck,
      &NineStepMachine::step9Commit,
  };
  for (std::size_t i = 0; i < kSteps.size(); ++i) {
    auto done = (this->*kSteps[i])();
    if (!done) {
      auto replaced = rollback(done.error());
      return std::unexpected(replaced.value_or(done.error()));
    }
    stopPoint("app-move-step" + std::to_string(i + 1));
  }
  return {};
}

NineStepMachine::Step NineStepMachine::step1Preflight() {
  std::error_code ec;
  const auto status = fs::symlink_status(original_, ec);
  if (!fs::exists(status)) {
    if (ec && ec != std::errc::no_such_file_or_directory) {
      return std::unexpected(EngineError::message("Couldn't read " + original_.string() + ": " +
                                                  ec.message() + "." + std::string(kUntouched)));
    }
    return std::unexpected(EngineError::withPath(EngineErrorKind::kSourceMissing, original_));
  }
  if (fs::is_symlink(status)) {
    return std::unexpected(EngineError::withPath(EngineErrorKind::kAlreadySymlink, original_));
  }
  if (!fs::is_directory(status)) {
    return std::unexpected(EngineError::withPath(EngineErrorKind::kNotABundle, original_));
  }
  // The apps folder itself is made in step 2; the working folder must be there.
  const fs::path workingFolder = job_.destinationRoot.parent_path();
  if (const auto drive = driveOf(job_.destinationRoot, env_.computerName)) {
    anchor_ = MountAnchor::take(*drive);
  }
  if (anchor_ && !fs::is_directory(workingFolder, ec)) {
    return std::unexpected(
        EngineError::withPath(EngineErrorKind::kWorkingFolderMissing, workingFolder));
  }
  if (auto held = driveHolds(workingFolder); !held) return held;
  if (auto cleared = clearEarlierCopy(); !cleared) return cleared;
  manifest_.phase = AppMovePhase::kWriting;
  if (auto written = persistOrFail(); !written) return written;
  manifest_.hadQuarantineXattr = env_.tools->hasDownloadQuarantine(original_);
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::clearEarlierCopy() {
  if (!somethingAt(destination_)) return {};
  // A relocation that lives there now owns it.
  for (const auto& other : env_.store->loadAll()) {
    if (other.phase == AppMovePhase::kDone &&
        comparablePath(other.nvmePath) == comparablePath(destination_) &&
        isLinkTo(other.originalPath, other.nvmePath)) {
      return std::unexpected(EngineError::withPath(EngineErrorKind::kNvmeCopyExists, destination_));
    }
  }
  if (auto held = driveHolds(destination_.parent_path()); !held) return held;
  // Left by a move that failed or by an earlier install: its bytes are
  // compared, since nobody knows when it was made.
  const Retired retired = retire(destination_, original_, ReplaceGuard{}, *env_.files);
  if (retired.keptAt) {
    keep(*retired.keptAt, "an earlier copy at " + destination_.string() +
                              " differs from the app being moved in " +
                              namedEntries(retired.differing));
  } else if (!retired.gone) {
    env_.log("AppRelocatorEngine.step1Preflight: " + retired.error);
    return std::unexpected(EngineError::withPath(EngineErrorKind::kNvmeCopyExists, destination_));
  }
  return {};
}

NineStepMachine::Step NineStepMachine::step2Reserve() {
  const fs::path& root = job_.destinationRoot;
  if (auto held = driveHolds(root.parent_path()); !held) return held;
  if (auto ec = env_.files->createDirectories(root)) {
    return std::unexpected(EngineError::message("Couldn't create " + root.string() + ": " +
                                                ec.message() + "." + std::string(kUntouched)));
  }
  const fs::path marker = root.parent_path() / ".metadata_never_index";
  if (somethingAt(marker) && !env_.files->remove(marker)) {
    env_.log("AppRelocatorEngine.step2Reserve: removed stale Spotlight-exclusion marker at " +
             marker.string());
  }
  manifest_.nvmePath = destination_.string();
  const auto source = env_.caseSensitivityOf(original_.parent_path());
  const auto dest = env_.caseSensitivityOf(root);
  manifest_.caseSensitivitySource = caseSensitivityRaw(source);
  manifest_.caseSensitivityDest = caseSensitivityRaw(dest);
  using mover::VolumeCaseSensitivity;
  if (source == VolumeCaseSensitivity::kUnknown) {
    return std::unexpected(
        EngineError::message("Couldn't determine the case-sensitivity of the source volume."));
  }
  if (dest == VolumeCaseSensitivity::kUnknown) {
    return std::unexpected(
        EngineError::message("Couldn't determine the case-sensitivity of the NVMe volume."));
  }
  // Names that differ only in case coexist only where case matters; a drive
  // that ignores case would merge them.
  if (source == VolumeCaseSensitivity::kSensitive && dest == VolumeCaseSensitivity::kInsensitive) {
    const auto collisions = mover::caseCollisions(original_);
    if (!collisions.empty()) {
      std::string text =
          "These names in the app differ only in letter case and cannot both exist on the "
          "drive:";
      for (const auto& c : collisions) text += " " + c.first + " and " + c.second + ";";
      text.back() = '.';
      return std::unexpected(EngineError::message(text + std::string(kUntouched)));
    }
  }
  if (auto held = driveHolds(root); !held) return held;
  manifest_.phase = AppMovePhase::kCopying;
  manifest_.fractionAtLastWrite = 2.0 / 9;
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::step3Copy() {
  const auto observe = [this](const platform::BundleCopyProgress& progress) {
    stopPoint("app-move-copying");
    if (copyObserver_) copyObserver_(progress);
  };
  copyStarted_ = std::chrono::system_clock::now();
  auto copied = env_.tools->copyBundle(original_.string(), destination_.string(), "ditto",
                                       kStepCopyDeadline, observe);
  if (!copied) return std::unexpected(engineErrorOf(copied.error()));
  if (auto held = driveHolds(destination_); !held) return held;
  manifest_.fractionAtLastWrite = 3.0 / 9;
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::catchUpWith(const fs::path& bundle) {
  if (auto held = driveHolds(destination_); !held) return held;
  const auto left = catchUp(*env_.tools, *env_.files, bundle, destination_,
                            ReplaceGuard({.copyStarted = copyStarted_}));
  const std::string ending =
      manifest_.quarantinePath ? std::string(kRolledBack) : std::string(kUntouched);
  if (!left) return std::unexpected(EngineError::message(left.error() + ending));
  if (!left->empty()) {
    return std::unexpected(EngineError::message(
        "These files of “" + job_.app.displayName +
        "” kept changing while they were copied to your fast drive: " + namedEntries(*left) + "." +
        ending + " Quit the app and try again."));
  }
  return driveHolds(destination_);
}

NineStepMachine::Step NineStepMachine::step4Verify() {
  manifest_.phase = AppMovePhase::kVerifying;
  if (auto written = persistOrFail(); !written) return written;
  env_.tools->clearDownloadQuarantine(destination_.string());
  if (auto caught = catchUpWith(original_); !caught) return caught;
  manifest_.fractionAtLastWrite = 4.0 / 9;
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::step5Quarantine() {
  if (!manifest_.quarantinePath) {
    const auto root = quarantineRootFor(original_, env_.paths.home);
    if (!root) {
      return std::unexpected(EngineError::message(
          "Couldn't find a place on the disk of " + original_.string() +
          " to set the original aside. Move rolled back; your app is untouched."));
    }
    // Recorded before the move, so the original is never somewhere no record names.
    manifest_.quarantinePath =
        (*root / quarantineName(manifest_.bundleID, manifest_.startedAt)).string();
    if (auto written = persistOrFail(); !written) return written;
  }
  const fs::path quarantine = *manifest_.quarantinePath;
  if (!somethingAt(original_) && somethingAt(quarantine)) {
    manifest_.phase = AppMovePhase::kLinking;
    return persistOrFail();
  }
  if (auto held = driveHolds(destination_); !held) return held;
  const fs::path root = quarantine.parent_path();
  if (auto ec = env_.files->createDirectories(root)) {
    return std::unexpected(EngineError::message("Couldn't create " + root.string() + ": " +
                                                ec.message() +
                                                ". Move rolled back; your app is "
                                                "untouched."));
  }
  // Parked originals are private to the user.
  std::error_code ignored;
  fs::permissions(root, fs::perms::owner_all, ignored);
  fs::permissions(root.parent_path(), fs::perms::owner_all, ignored);
  const auto parked = moveBundle(env_, original_, quarantine);
  if (parked.outcome == ParkOutcome::kCancelled) {
    return std::unexpected(EngineError::plain(EngineErrorKind::kAdminCancelled));
  }
  if (parked.outcome == ParkOutcome::kFailed) {
    return std::unexpected(EngineError::message("Couldn't move " + original_.string() +
                                                " aside: " + parked.error +
                                                ". Move rolled back; your app is untouched."));
  }
  manifest_.phase = AppMovePhase::kLinking;
  manifest_.fractionAtLastWrite = 5.0 / 9;
  if (auto written = persistOrFail(); !written) return written;
  // What was written between the check and the parking goes across too.
  return catchUpWith(quarantine);
}

NineStepMachine::Step NineStepMachine::step6Link() {
  if (auto held = driveHolds(destination_); !held) return held;
  if (auto ec = env_.files->createDirectorySymlink(destination_, original_)) {
    return std::unexpected(EngineError::message("Couldn't create the link at " +
                                                original_.string() + ": " + ec.message() +
                                                ". Move rolled back."));
  }
  if (auto ec = env_.tools->setRelocationMark(original_.string(), manifest_.id)) {
    env_.log("AppRelocatorEngine.step6Link: relocation marker failed (non-fatal): " + ec.message());
  }
  manifest_.fractionAtLastWrite = 6.0 / 9;
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::step7Register() {
  if (auto done = env_.tools->registerApp(original_.string(), "lsregister"); !done) {
    return std::unexpected(engineErrorOf(done.error()));
  }
  if (auto done = env_.tools->reindex(original_.string(), "mdimport"); !done) {
    env_.log("AppRelocatorEngine.step7: mdimport failed (non-fatal): " +
             stepToolErrorText(done.error()));
  }
  if (auto done = env_.tools->refreshDock("killall-Dock"); !done) {
    env_.log("AppRelocatorEngine.step7: Dock refresh failed (non-fatal): " +
             stepToolErrorText(done.error()));
  }
  manifest_.fractionAtLastWrite = 7.0 / 9;
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::step8SpotlightCheck() {
  if (auto done = env_.tools->spotlightCheck(original_.string(), "mdls"); !done) {
    return std::unexpected(engineErrorOf(done.error()));
  }
  manifest_.fractionAtLastWrite = 8.0 / 9;
  return persistOrFail();
}

NineStepMachine::Step NineStepMachine::step9Commit() {
  // The app must open from the copy before its original may go.
  if (!isLinkTo(original_, destination_.string())) {
    return std::unexpected(EngineError::message(
        "Something else replaced the link at " + original_.string() +
        " while the app was being moved. Move rolled back; your app is untouched."));
  }
  if (auto held = driveHolds(destination_); !held) return held;
  manifest_.phase = AppMovePhase::kDone;
  manifest_.completedAt = env_.clock();
  manifest_.fractionAtLastWrite = 1.0;
  if (auto written = persistOrFail(); !written) return written;
  stopPoint("app-move-committed");
  for (const auto& other : env_.store->loadAll()) {
    if (other.id == manifest_.id || other.phase != AppMovePhase::kDone) continue;
    if (comparablePath(other.originalPath) != comparablePath(manifest_.originalPath) ||
        comparablePath(other.nvmePath) != comparablePath(manifest_.nvmePath)) {
      continue;
    }
    env_.store->remove(other.id);
    env_.log("AppRelocatorEngine.step9Commit: pruned stale duplicate manifest " + other.id +
             " for " + manifest_.displayName);
  }
  if (manifest_.quarantinePath && driveHolds(destination_)) {
    // Step 5 compared the parked original with the copy moments ago.
    if (const auto left = purgeQuarantine(env_, *manifest_.quarantinePath, destination_, original_,
                                          ReplaceGuard({.copyStarted = copyStarted_}), true)) {
      keep(*left, "the original changed after it was copied");
    }
  }
  return {};
}

void NineStepMachine::breadcrumb(OrphanReason reason, const std::string& error) {
  leaveOrphanBreadcrumb(env_, {manifest_.id, manifest_.displayName, manifest_.bundleID.value_or(""),
                               manifest_.originalPath, manifest_.quarantinePath.value_or(""),
                               manifest_.nvmePath, reason, error, 0});
}

std::optional<EngineError> NineStepMachine::rollback(const EngineError& failure) {
  manifest_.lastError = failure.userMessage();
  manifest_.phase = AppMovePhase::kFailed;
  persist();
  stopPoint("app-move-rollback");
  // Only the link this move made; a link someone else put there is theirs.
  if (isLinkTo(original_, manifest_.nvmePath)) {
    if (auto ec = env_.files->remove(original_)) {
      env_.log("AppRelocatorEngine.rollback: failed to remove symlink at " + original_.string() +
               ": " + ec.message());
    }
  }
  std::optional<EngineError> incomplete;
  const fs::path quarantine = manifest_.quarantinePath.value_or("");
  if (!quarantine.empty() && somethingAt(quarantine)) {
    if (!somethingAt(original_)) {
      const auto restored = moveBundle(env_, quarantine, original_);
      if (restored.outcome != ParkOutcome::kMoved) {
        const std::string error = restored.outcome == ParkOutcome::kCancelled
                                      ? "the administrator prompt was cancelled"
                                      : restored.error;
        env_.log(
            "AppRelocatorEngine.rollback: CRITICAL — failed to move quarantine back to "
            "source. quarantine=" +
            quarantine.string() + " source=" + original_.string() + " error=" + error);
        breadcrumb(OrphanReason::kRollbackRestoreFailed, error);
        incomplete = EngineError::rollbackIncomplete(quarantine, original_, error);
      } else if (!isRealFolder(original_)) {
        env_.log("AppRelocatorEngine.rollback: CRITICAL — post-restore validation failed for " +
                 original_.string() + ": source not a directory after restore");
        breadcrumb(OrphanReason::kRollbackPostRestoreInvalid,
                   "source not a directory after restore");
      }
    } else {
      env_.log(
          "AppRelocatorEngine.rollback: both quarantine and source exist; preserving source, "
          "breadcrumbing quarantine");
      breadcrumb(OrphanReason::kRollbackConcurrentRestore,
                 "source already restored by other process");
    }
  }
  const fs::path nvme = manifest_.nvmePath;
  if (!nvme.empty() && somethingAt(nvme)) {
    if (!isUnderManagedRoot(nvme, env_.computerName)) {
      env_.log(
          "AppRelocatorEngine.rollback: REFUSED unsafe NVMe delete (not under a managed "
          "root): " +
          nvme.string());
    } else if (!isRealFolder(original_)) {
      // The copy may be the only whole bundle left.
      env_.log("AppRelocatorEngine.rollback: KEPT NVMe copy at " + nvme.string() +
               " because the original is not back at " + original_.string());
    } else if (driveHolds(nvme)) {
      // Whatever was written to the copy through the link stays with it.
      const Retired retired = retire(nvme, original_, ReplaceGuard{}, *env_.files);
      if (retired.keptAt) {
        keep(*retired.keptAt,
             "the copy differs from the original in " + namedEntries(retired.differing));
      } else if (!retired.gone) {
        env_.log("AppRelocatorEngine.rollback: failed to remove NVMe dst at " + nvme.string() +
                 ": " + retired.error);
      }
    }
  }
  if (somethingAt(original_)) {
    if (auto done = env_.tools->registerApp(original_.string(), "lsregister-rollback"); !done) {
      env_.log("Brimvale: lsregister rollback failed: " + stepToolErrorText(done.error()));
    }
  }
  return incomplete;
}

}  // namespace brimvale::apps
