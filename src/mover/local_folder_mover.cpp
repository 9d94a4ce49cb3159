#include "mover/local_folder_mover.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>
#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/guarded_removal.h"
#include "common/base/process.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/state/configured_drive.h"
#include "common/state/drive_transfer_job.h"
#include "common/state/move_scope.h"
#include "common/state/path_policy.h"
#include "mover/copy_run.h"
#include "mover/homecoming_cleanup.h"
#include "mover/link_census.h"
#include "mover/relink.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

// Nothing at `path`, or an empty folder: a copy not begun.
bool copyNotBegun(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  std::error_code ec;
  return S_ISDIR(st.st_mode) && fs::is_empty(path, ec) && !ec;
}

#if defined(__APPLE__)
constexpr std::string_view kNoRsync =
    "GNU rsync 3.x is required but not installed. Run `brew install rsync` in Terminal, then "
    "click Reload Probe on the Tier banner.";
#else
constexpr std::string_view kNoRsync =
    "GNU rsync 3.x is required but not installed, so nothing was moved. Run `sudo apt install "
    "rsync` in a terminal, then try again.";
#endif
constexpr std::string_view kHeld =
    "A drive transfer is in progress. This move was held — try again once it finishes.";
constexpr std::string_view kHashingStatus = "Hashing source + destination for integrity check…";
// Enough of the copy tool's complaints to name the cause; a copy failing on
// every file would otherwise keep them all.
constexpr std::size_t kCopyErrorLinesKept = 20;

std::string plural(std::size_t n) { return n == 1 ? "" : "s"; }

std::string lastComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string standardised(const std::string& path) {
  return fs::path(path).lexically_normal().string();
}

std::string stripSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Why a clean-up must leave the source alone.
struct CleanupRefusal {
  MoveError error;              // the job's lastError
  bool driveMayBeGone = false;  // the copy could not be seen: maybe the drive went away
};

// Whether the clean-up of `m` may remove or relink its source at all. What
// it removes or relinks, the guard decides file by file.
std::optional<CleanupRefusal> cleanupRefusal(const MoveManifest& m, const PathPolicy& policy) {
  if (auto allowed = policy.check(m.src); !allowed)
    return CleanupRefusal{{MoveFailure::kStatedWithDetails, allowed.error().sentence()}};
  struct stat st {};
  if (lstat(m.finalDst.c_str(), &st) != 0) {
    return CleanupRefusal{
        {MoveFailure::kStatedWithDetails,
         "The copy this move made is missing, so Brimvale removed and relinked nothing. Your "
         "original is safe and untouched; move it again to make a new copy." +
             std::string(kRawErrorMarker) + m.finalDst + ": " + std::strerror(errno)},
        true};
  }
  return std::nullopt;
}

// The copy is at its place as the move made it: there, and not a link put in its place.
bool copyInPlace(const MoveManifest& m) {
  struct stat st {};
  return lstat(m.finalDst.c_str(), &st) == 0 && !S_ISLNK(st.st_mode);
}

// "a, b, c (+4 more)": the first five of `paths`.
std::string someFiles(const std::vector<std::string>& paths) {
  std::string text;
  for (std::size_t i = 0; i < paths.size() && i < 5; ++i) text += (i == 0 ? "" : ", ") + paths[i];
  if (paths.size() > 5) text += " (+" + std::to_string(paths.size() - 5) + " more)";
  return text;
}

// The guard of a move's clean-up: it compares at least what the fast level
// does whatever the level, and every byte at the thorough one.
ReplaceGuard cleanupGuard(const MoveManifest& m, VerificationLevel level) {
  GuardOptions options;
  if (m.copyStartedAt)
    options.copyStarted = std::chrono::system_clock::from_time_t(*m.copyStartedAt);
  options.alwaysCompareBytes = level == VerificationLevel::kThorough;
  return ReplaceGuard(options);
}

// Enough fresh names for any one folder name; past this something is wrong.
constexpr int kClaimAttempts = 10000;

constexpr std::string_view kCancelledByUser = "Cancelled by user.";

}  // namespace

int MoverSettings::maxConcurrent() const {
  auto v = defaults_ ? defaults_->getInt("brimvale.mover.maxConcurrent") : std::nullopt;
  if (!v || *v <= 0) return kDefaultMaxConcurrent;
  return static_cast<int>(std::clamp<std::int64_t>(*v, 1, 16));
}

VerificationLevel MoverSettings::verificationLevel() const {
  auto v = defaults_ ? defaults_->getString("brimvale.mover.verificationLevel") : std::nullopt;
  return verificationLevelFromRaw(v.value_or("fast"));
}

bool MoverSettings::recentWriteGuardEnabled() const {
  auto v = defaults_ ? defaults_->getBool("brimvale.mover.recentWriteGuardEnabled") : std::nullopt;
  return v.value_or(true);
}

int MoverSettings::recentWriteWindowHours() const {
  auto v = defaults_ ? defaults_->getInt("brimvale.mover.recentWriteWindowHours") : std::nullopt;
  if (!v || *v <= 0) return kDefaultWindowHours;
  return static_cast<int>(std::min<std::int64_t>(*v, 168));
}

std::optional<std::string> wipeRefusal(const std::string& path, WorkingFolderRule rule,
                                       const fs::path& home, const fs::path& workingFolder) {
  auto refused = [&](PathRefusalReason reason) {
    return PathRefusal{.reason = reason, .path = path}.sentence();
  };
  if (path.empty() || path.front() != '/') return refused(PathRefusalReason::kNotAbsolute);
  for (const auto& part : fs::path(path)) {
    if (part == "..") return refused(PathRefusalReason::kNotAbsolute);
  }
  const std::string p = stripSlash(standardised(path));
  static constexpr std::string_view kProtected[] = {"/",        "/System",       "/usr",  "/bin",
                                                    "/sbin",    "/etc",          "/var",  "/tmp",
                                                    "/Library", "/Applications", "/Users"};
  for (auto bad : kProtected) {
    if (p == bad) return refused(PathRefusalReason::kSystemFolder);
  }
  if (p == stripSlash(standardised(home.string()))) return refused(PathRefusalReason::kHomeItself);
  const std::string root = stripSlash(standardised(workingFolder.string()));
  const bool inWorkingFolder = !workingFolder.empty() && p.starts_with(root + "/");
  if (rule == WorkingFolderRule::kRequired && !inWorkingFolder) {
    return path +
           " lies outside this computer's folder on the drive, so Brimvale won't delete it. "
           "Nothing was changed.";
  }
  // The same answer the path policy gives every other deleting operation.
  auto allowed = PathPolicy(PathPolicy::rootsFor(home, workingFolder)).check(p);
  if (!allowed) return allowed.error().sentence();
  if (rule == WorkingFolderRule::kRequired && allowed->root != PathRoot::kWorkingFolder) {
    return refused(PathRefusalReason::kOutsideRoots);
  }
  return std::nullopt;
}

bool isSafeToWipe(const std::string& path, WorkingFolderRule rule, const fs::path& home,
                  const fs::path& workingFolder) {
  return !wipeRefusal(path, rule, home, workingFolder);
}

std::string userFacingFailure(const MoveManifest& m) {
  const std::string error = m.lastError.value_or("");
  const std::string name = quotedName(m.src);
  switch (m.failure) {
    case MoveFailure::kStated: return error;
    case MoveFailure::kStatedWithDetails:
      if (error.empty()) break;
      return error.substr(0, error.find(kRawErrorMarker));
    case MoveFailure::kVerification:
      return "The copy of " + name +
             " didn't match the original closely enough to be sure it's complete, so the move was "
             "stopped before touching your original. Your data is safe — try again, and if it "
             "keeps happening the source may be changing while it's being copied.";
    case MoveFailure::kDriveGone:
    case MoveFailure::kDriveAbsent:
      return "The drive became unavailable while moving " + name +
             ". Your original is safe — reconnect the drive and try again.";
    case MoveFailure::kSourceNotRemoved:
    case MoveFailure::kPartlyRelinked:
      return name +
             " was copied successfully, but the original couldn't be removed afterwards, so "
             "it's still using space. Your data is safe.";
    case MoveFailure::kUnexplained: break;
  }
  return "Brimvale couldn't finish moving " + name + ". Your original is safe and untouched.";
}

bool passesSavePoint(double from, double to) {
  return static_cast<int>(from * 20.0) != static_cast<int>(to * 20.0);
}

LocalFolderMover::LocalFolderMover(MoverEnvironment env, MoverLog& log)
    : env_(std::move(env)),
      log_(log),
      settings_(env_.defaults),
      store_(env_.paths.state, env_.systemLog, env_.clock) {}

LocalFolderMover::~LocalFolderMover() {
  alive_->store(false);
  for (auto& [_, handle] : processes_) {
    if (int pid = handle->pid.load(); pid > 0) kill(-pid, SIGTERM);
  }
}

MoveManifest* LocalFolderMover::find(const std::string& id) {
  auto it = std::find_if(jobs_.begin(), jobs_.end(), [&](const auto& j) { return j.id == id; });
  return it == jobs_.end() ? nullptr : &*it;
}

const MoveManifest* LocalFolderMover::job(const std::string& id) const {
  auto it = std::find_if(jobs_.begin(), jobs_.end(), [&](const auto& j) { return j.id == id; });
  return it == jobs_.end() ? nullptr : &*it;
}

std::optional<RsyncProgressInfo> LocalFolderMover::progress(const std::string& id) const {
  auto it = rsyncStats_.find(id);
  if (it == rsyncStats_.end()) return std::nullopt;
  return it->second;
}

std::optional<HashedCount> LocalFolderMover::hashedCount(const std::string& id) const {
  auto it = hashedCounts_.find(id);
  if (it == hashedCounts_.end()) return std::nullopt;
  return it->second;
}

std::optional<LinkedCount> LocalFolderMover::linkedCount(const std::string& id) const {
  auto it = linkedCounts_.find(id);
  if (it == linkedCounts_.end()) return std::nullopt;
  return it->second;
}

std::string LocalFolderMover::currentFile(const std::string& id) const {
  auto it = rsyncCurrentFile_.find(id);
  return it == rsyncCurrentFile_.end() ? std::string() : it->second;
}

std::size_t LocalFolderMover::activeCount() const {
  std::size_t n = processes_.size();
  for (const auto& [_, ids] : tasks_) n += ids.size();
  return n;
}

bool LocalFolderMover::hasActiveTask(const std::string& id) const {
  for (const auto& [_, ids] : tasks_) {
    if (ids.contains(id)) return true;
  }
  return false;
}

bool LocalFolderMover::isActive(const std::string& id) const {
  return processes_.contains(id) || hasActiveTask(id);
}

bool LocalFolderMover::idle() const {
  if (activeCount() > 0 || !discards_.empty() || thinningsRunning_ > 0) return false;
  return std::none_of(jobs_.begin(), jobs_.end(), [](const auto& j) {
    return !isTerminal(j.phase) && j.phase != MovePhase::kWaitingForDrive;
  });
}

std::uint64_t LocalFolderMover::beginTask(Task task, const std::string& id) {
  const std::uint64_t token = nextToken_++;
  tasks_[task][id] = token;
  return token;
}

// A background result reaches the loop long after it was asked for; by then
// the user may have cancelled the job (which drops its tasks) or the step may
// have been started anew. Acting on a stale result would move the job out of
// a phase it is no longer in, so only the newest task of a job still in the
// phase that started it may act.
bool LocalFolderMover::endTask(Task task, const std::string& id, std::uint64_t token,
                               MovePhase expected) {
  auto& ids = tasks_[task];
  auto it = ids.find(id);
  if (it == ids.end() || it->second != token) return false;  // cancelled or superseded
  ids.erase(it);
  const MoveManifest* m = job(id);
  return m && m->phase == expected;
}

bool LocalFolderMover::save(const MoveManifest& m) {
  if (!env_.owner) return store_.write(m).has_value();
  MoveManifest stamped = m;
  stamped.owner = isTerminal(m.phase) ? std::nullopt : env_.owner;
  if (MoveManifest* kept = find(m.id)) kept->owner = stamped.owner;
  return store_.write(stamped).has_value();
}

MoveError LocalFolderMover::recordNotWritten(const MoveManifest& m) const {
  return {MoveFailure::kStated,
          "Brimvale couldn't write the record of the move of " + quotedName(m.src) + " in " +
              store_.folder().string() +
              ", so it stopped there: a move it cannot record could not be found and finished "
              "safely later. Your data is safe; nothing more was changed. Free some space there "
              "(or make it writable), then run the move again."};
}

void LocalFolderMover::publish(const MoveManifest& m) {
  if (env_.onChange) env_.onChange(m);
}

VerificationLevel LocalFolderMover::level() const {
  return env_.verificationOverride.value_or(settings_.verificationLevel());
}

fs::path LocalFolderMover::mountPath() const {
  return configuredDrive(env_.paths).value_or(fs::path());
}

fs::path LocalFolderMover::workingFolder() const {
  const fs::path mount = mountPath();
  return mount.empty() ? mount : workingFolderFor(mount, env_.computerName);
}

PathPolicy LocalFolderMover::pathPolicy() const {
  PathPolicyRoots roots = PathPolicy::rootsFor(env_.paths.home, workingFolder());
  roots.extraRoots = env_.extraRoots;
  return PathPolicy(std::move(roots));
}

bool LocalFolderMover::exists(const std::string& path) const {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool LocalFolderMover::mounted(const fs::path& mount) const {
  if (env_.isMounted) return env_.isMounted(mount);
  std::error_code ec;
  return fs::exists(mount, ec);
}

bool LocalFolderMover::destinationReachable(const MoveManifest& m) const {
  std::error_code ec;
  if (!fs::exists(m.dstParent, ec)) return false;
  const fs::path mount = mountPath();
  return !(m.dstParent + "/").starts_with(mount.string() + "/") || mounted(mount);
}

bool LocalFolderMover::driveTransferRunning() const {
  auto job = readDriveTransferJob(env_.paths.transferJobJson);
  return job && holdsTheDrives(job->phase);
}

std::optional<std::string> LocalFolderMover::enqueue(
    const std::string& srcIn, const std::string& dstParentIn, MoveConflictPolicy policy,
    bool replaceSourceWithSymlink, MoveTriggerSource trigger,
    std::optional<std::int64_t> measuredSizeKB, MoveTarget target) {
  const std::string src = stripSlash(srcIn);
  const std::string dstParent = stripSlash(dstParentIn);
  const std::string name = target.name.empty() ? lastComponent(src) : target.name;
  MoveManifest m;
  m.id = newUuid();
  m.src = src;
  m.dstParent = dstParent;
  m.finalDst = dstParent + "/" + name;
  m.startedAt = m.updatedAt = env_.clock();
  m.conflictPolicy = policy;
  m.replaceSourceWithSymlink = replaceSourceWithSymlink;
  m.triggerSource = trigger;

  auto addTerminal = [&](MovePhase phase, std::optional<MoveError> error,
                         PhaseEffects effects = PhaseEffects::kAll) {
    m.phase = phase;
    if (error) {
      m.lastError = std::move(error->text);
      m.failure = error->kind;
    }
    if (phase == MovePhase::kDone) {
      m.completedAt = m.updatedAt;
      m.fractionAtLastWrite = 1.0;
    }
    // A move listed as done must be on record as done.
    if (!save(m) && phase == MovePhase::kDone) {
      m.phase = phase = MovePhase::kFailed;
      m.completedAt.reset();
      MoveError unrecorded = recordNotWritten(m);
      m.lastError = std::move(unrecorded.text);
      m.failure = unrecorded.kind;
      effects = PhaseEffects::kRecordOnly;
    }
    jobs_.push_back(m);
    publish(m);
    if (phase == MovePhase::kFailed) {
      if (effects == PhaseEffects::kAll) {
        enteredFailed(m, MovePhase::kWriting);
      } else {
        recordFailure(m);
      }
    }
    return m.id;
  };

  if (driveTransferRunning()) {
    if (trigger == MoveTriggerSource::kAutoSync) return std::nullopt;
    // Told as the drive being unavailable, as it always has been.
    return addTerminal(MovePhase::kFailed, MoveError{MoveFailure::kDriveGone, std::string(kHeld)});
  }
  if (!env_.rsync)
    return addTerminal(MovePhase::kFailed,
                       MoveError{MoveFailure::kUnexplained, std::string(kNoRsync)});

  struct stat st {};
  if (lstat(src.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::error_code ec;
    fs::path linkTarget = fs::read_symlink(src, ec);
    if (!ec) {
      if (linkTarget.is_relative()) linkTarget = fs::path(src).parent_path() / linkTarget;
      const std::string standard = stripSlash(standardised(linkTarget.string()));
      // A fresh claim may have given the copy another name in the same folder.
      const bool ownCopy =
          standard == stripSlash(standardised(m.finalDst)) ||
          (target.rule == MoveTarget::Rule::kClaimFresh &&
           fs::path(standard).parent_path() == fs::path(stripSlash(standardised(dstParent))));
      if (ownCopy) {
        m.finalDst = standard;
        const std::string id = addTerminal(MovePhase::kDone, std::nullopt);
        log_.append(MoverLogSource::kEnqueue,
                    "noop: " + src + " is already a symlink → " + linkTarget.string() +
                        ". Source preserved; recorded as completed relocation. Use 'Move back' in "
                        "Storage Inspector to restore.",
                    id);
        return id;
      }
    }
  }

  if (target.rule != MoveTarget::Rule::kAsNamed) {
    auto claimed = claimTarget(src, dstParent, target);
    // Nothing was claimed, so nothing at the target is this move's to remove.
    if (!claimed)
      return addTerminal(MovePhase::kFailed, claimed.error(), PhaseEffects::kRecordOnly);
    m.finalDst = *claimed;
    claimedTargets_[m.id] = *claimed;
    stopPoint("mover:claimed");
  }
  m.driveUUID = currentDriveUUID(env_.paths, env_.computerName);
  m.phase = MovePhase::kWriting;
  if (measuredSizeKB) m.srcSizeKB = *measuredSizeKB;
  // Nothing is copied for a move that could not be found again after a stop.
  if (!save(m)) {
    if (auto claimed = claimedTargets_.find(m.id); claimed != claimedTargets_.end()) {
      (void)::rmdir(claimed->second.c_str());  // only ever the empty claim
      struct stat claim {};
      if (lstat(claimed->second.c_str(), &claim) == 0 && S_ISREG(claim.st_mode) &&
          claim.st_size == 0)
        (void)::unlink(claimed->second.c_str());
      claimedTargets_.erase(claimed);
    }
    return addTerminal(
        MovePhase::kFailed,
        MoveError{MoveFailure::kStated,
                  "Brimvale couldn't write the record of this move in " + store_.folder().string() +
                      ", and a move it cannot record could not be found again if it stopped "
                      "half-way, so nothing was copied. Your original is untouched; free some "
                      "space there (or make it writable), then try again."},
        PhaseEffects::kRecordOnly);
  }
  stopPoint("mover:enqueued");
  enqueuedHere_.insert(m.id);
  jobs_.push_back(m);
  publish(m);
  log_.append(MoverLogSource::kEnqueue, "enqueued: " + src + " → " + m.finalDst, m.id);
  const std::string id = m.id;
  if (measuredSizeKB) {
    pump();
    return id;
  }
  auto alive = alive_;
  env_.scheduler->runInBackground([this, alive, id, src]() -> std::function<void()> {
    auto kib = apparentSizeKB(src);
    return [this, alive, id, kib] {
      if (!alive->load() || !kib) return;
      MoveManifest* job = find(id);
      if (!job || job->srcSizeKB != 0) return;
      job->srcSizeKB = *kib;
      save(*job);
    };
  });
  pump();
  return id;
}

std::expected<std::string, MoveError> LocalFolderMover::claimTarget(const std::string& src,
                                                                    const std::string& dstParent,
                                                                    const MoveTarget& target) {
  const std::string name = target.name.empty() ? lastComponent(src) : target.name;
  const fs::path mount = mountPath();
  const fs::path parent(dstParent);
  // An unplugged drive leaves an empty folder at its mount path; creating
  // the target there would put the copy on the internal disk.
  if ((parent == mount || isStrictlyInside(parent, mount)) && !mounted(mount)) {
    return std::unexpected(MoveError{MoveFailure::kStated,
                                     "The drive isn't connected at " + mount.string() +
                                         ", so there is nowhere to copy " + quotedName(src) +
                                         " to. Nothing was copied; your original is untouched."});
  }
  const PathPolicy policy = pathPolicy();
  struct stat st {};
  const bool singleFile = stat(src.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  for (int n = 0; n < kClaimAttempts; ++n) {
    const std::string candidate =
        dstParent + "/" + (n == 0 ? name : name + "." + std::to_string(n));
    // Checked before anything is created: a link planted on the way must not
    // carry the copy somewhere else.
    if (auto allowed = policy.check(candidate); !allowed)
      return std::unexpected(
          MoveError{MoveFailure::kStatedWithDetails, allowed.error().sentence()});
    if (n == 0) {
      std::error_code ec;
      fs::create_directories(parent, ec);
    }
    const std::error_code made =
        createExclusively(candidate, singleFile ? ClaimKind::kFile : ClaimKind::kFolder);
    if (!made) return candidate;
    const int err = made.value();
    if (err == EEXIST && target.rule == MoveTarget::Rule::kClaimExact) {
      return std::unexpected(
          MoveError{MoveFailure::kStated, "Something already exists at the original source path " +
                                              candidate + ". Move or delete it before reverting."});
    }
    if (err != EEXIST) {
      return std::unexpected(MoveError{MoveFailure::kStated,
                                       "Couldn't create " + candidate + " to hold the copy (" +
                                           std::strerror(err) +
                                           "). Nothing was copied; your original is untouched."});
    }
  }
  return std::unexpected(MoveError{
      MoveFailure::kStated, "Every name for the copy of " + quotedName(src) + " in " + dstParent +
                                " is taken. Nothing was copied; your original is untouched."});
}

void LocalFolderMover::setPaused(bool paused) {
  isPaused_ = paused;
  if (!paused) pump();
}

void LocalFolderMover::pump() {
  discardPartialCopies();
  if (isPaused_) return;
  const auto limit = static_cast<std::size_t>(settings_.maxConcurrent());
  while (activeCount() < limit) {
    auto firstIn = [&](MovePhase phase, bool inactiveOnly) -> MoveManifest* {
      for (auto& j : jobs_) {
        if (j.phase == phase && (!inactiveOnly || !isActive(j.id))) return &j;
      }
      return nullptr;
    };
    if (MoveManifest* j = firstIn(MovePhase::kCopying, true)) {
      startCopy(j->id);
    } else if (MoveManifest* j = firstIn(MovePhase::kWriting, true)) {
      const std::string id = j->id;
      transition(id, MovePhase::kCopying);
      // A move whose step could not be recorded has failed; the next one goes on.
      if (const MoveManifest* now = job(id); now && now->phase == MovePhase::kCopying)
        startCopy(id);
    } else if (MoveManifest* j = firstIn(MovePhase::kHashing, true)) {
      startVerification(j->id);
    } else if (MoveManifest* j = firstIn(MovePhase::kVerifying, true)) {
      startSizeCheck(j->id);
    } else if (MoveManifest* j = firstIn(MovePhase::kCleaningUp, true)) {
      startCleanup(j->id);
    } else {
      return;
    }
  }
}

void LocalFolderMover::transition(const std::string& id, MovePhase phase,
                                  std::optional<MoveError> lastError,
                                  std::optional<std::string> statusMessage) {
  changePhase(id, phase, std::move(lastError), std::move(statusMessage), PhaseEffects::kAll);
}

void LocalFolderMover::changePhase(const std::string& id, MovePhase phase,
                                   std::optional<MoveError> lastError,
                                   std::optional<std::string> statusMessage, PhaseEffects effects) {
  MoveManifest* m = find(id);
  if (!m) return;
  const MovePhase old = m->phase;
  if (phase != MovePhase::kVerifying)
    measuredSizes_.erase(id);  // only the size check right after may use them
  if (phase != MovePhase::kVerifying && phase != MovePhase::kCleaningUp)
    verifiedFiles_.erase(id);  // only the clean-up right after may use them
  m->phase = phase;
  m->lastError = lastError ? std::optional(lastError->text) : std::nullopt;
  m->failure = lastError ? lastError->kind : MoveFailure::kUnexplained;
  m->statusMessage = statusMessage;
  m->updatedAt = env_.clock();
  if (phase == MovePhase::kDone) {
    m->completedAt = m->updatedAt;
    m->fractionAtLastWrite = 1.0;
  }
  // A step whose record cannot be written is not taken: a later run would
  // find the move where the record left it. Ending states are kept in memory
  // and shown even so; a move is done only once the record says so.
  const bool recorded = save(*m);
  if (!recorded && phase == MovePhase::kDone) {
    phase = m->phase = MovePhase::kFailed;
    m->completedAt.reset();
    lastError = MoveError{
        MoveFailure::kStated,
        "The move of " + quotedName(m->src) + " is complete, but Brimvale couldn't write down in " +
            store_.folder().string() +
            " that it finished. Your data is safe. Once that folder can be written to, run "
            "`brimvale moves resume` so that the move is recorded."};
    m->lastError = lastError->text;
    m->failure = lastError->kind;
    statusMessage = m->statusMessage = std::nullopt;
    effects = PhaseEffects::kRecordOnly;
  } else if (!recorded && !isTerminal(phase) && phase != MovePhase::kWaitingForDrive) {
    phase = m->phase = MovePhase::kFailed;
    lastError = recordNotWritten(*m);
    m->lastError = lastError->text;
    m->failure = lastError->kind;
    statusMessage = m->statusMessage = std::nullopt;
    effects = PhaseEffects::kRecordOnly;
  }
  publish(*m);
  stopPoint("mover:" + std::string(phaseRaw(phase)));
  if (old == phase) return;
  std::string line = std::string(phaseRaw(old)) + " → " + std::string(phaseRaw(phase));
  if (statusMessage) line += " · " + *statusMessage;
  if (lastError) line += " · ERROR: " + lastError->text;
  log_.append(MoverLogSource::kPhase, line, id);
  const MoveManifest snapshot = *m;
  if (phase == MovePhase::kDone) enteredDone(snapshot);
  if (phase != MovePhase::kFailed) return;
  if (effects == PhaseEffects::kAll) {
    enteredFailed(snapshot, old);
  } else {
    recordFailure(snapshot);
  }
}

void LocalFolderMover::recordFailure(const MoveManifest& m) {
  if (m.triggerSource != MoveTriggerSource::kUserMove || !env_.ledger || !m.lastError) return;
  const DiagnosticsLog diagnostics(env_.paths.diagnosticsLog, env_.clock);
  bestEffort(env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kFailed,
                                    *m.lastError),
             diagnostics, "recording the failed move");
  bestEffort(
      env_.ledger->recordIssue(transfers::JobKind::kFileMoves, lastComponent(m.src), *m.lastError),
      diagnostics, "recording the failed move's issue");
}

void LocalFolderMover::enteredDone(const MoveManifest& m) {
  if (m.srcSizeKB <= 0) {
    if (m.triggerSource == MoveTriggerSource::kUserMove && env_.ledger) {
      bestEffort(
          env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kOk,
                                 "Moved " + quotedName(m.src) + " to your fast drive.", 1, 0),
          DiagnosticsLog(env_.paths.diagnosticsLog, env_.clock), "recording the move");
    }
    return;
  }
  const std::int64_t bytes = m.srcSizeKB * 1024;
  if (env_.events) {
    const bool back = isStrictlyInside(m.src, mountPath());
    bestEffort(
        env_.events->append(
            {env_.clock(),
             m.triggerSource == MoveTriggerSource::kAutoSync ? transfers::TransferService::kAutoSync
                                                             : transfers::TransferService::kTier,
             back ? transfers::TransferDirection::kIn : transfers::TransferDirection::kOut, bytes}),
        DiagnosticsLog(env_.paths.diagnosticsLog, env_.clock), "recording the transfer");
  }
  if (m.replaceSourceWithSymlink && !m.src.starts_with("/Volumes/") && env_.thinSnapshots) {
    auto alive = alive_;
    auto thin = env_.thinSnapshots;
    const std::string id = m.id;
    ++thinningsRunning_;
    env_.scheduler->runInBackground([this, alive, thin, id, bytes]() -> std::function<void()> {
      Result<std::string> r = thin(bytes);
      return [this, alive, id, r] {
        if (!alive->load()) return;
        --thinningsRunning_;
        log_.append(MoverLogSource::kCleanup,
                    r ? "Post-move snapshot thin OK: " + *r
                      : "Post-move snapshot thin failed (non-fatal): " + r.error().detail,
                    id);
      };
    });
  }
  if (m.triggerSource == MoveTriggerSource::kUserMove && env_.ledger) {
    bestEffort(
        env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kOk,
                               "Moved " + quotedName(m.src) + " to your fast drive.", 1, bytes),
        DiagnosticsLog(env_.paths.diagnosticsLog, env_.clock), "recording the move");
  }
}

void LocalFolderMover::enteredFailed(const MoveManifest& m, MovePhase previous) {
  if (m.triggerSource != MoveTriggerSource::kUserMove) return;
  const std::string text = userFacingFailure(m);
  if (env_.ledger) {
    const DiagnosticsLog diagnostics(env_.paths.diagnosticsLog, env_.clock);
    bestEffort(env_.ledger->recordRun(transfers::JobKind::kFileMoves,
                                      transfers::JobOutcome::kFailed, text),
               diagnostics, "recording the failed move");
    bestEffort(env_.ledger->recordIssue(transfers::JobKind::kFileMoves, lastComponent(m.src), text),
               diagnostics, "recording the failed move's issue");
  }
  // Only a destination this process copied into is this move's partial copy;
  // one named by a record read from disk may hold anything.
  const bool copiedHere = copiedHere_.erase(m.id) > 0;
  anchors_.erase(m.id);
  if (m.conflictPolicy != MoveConflictPolicy::kOverride || !m.replaceSourceWithSymlink ||
      previous == MovePhase::kCleaningUp || previous == MovePhase::kFailed || !copiedHere ||
      !exists(m.finalDst)) {
    return;
  }
  if (auto refusal =
          wipeRefusal(m.finalDst, WorkingFolderRule::kRequired, env_.paths.home, workingFolder())) {
    log_.append(MoverLogSource::kPhase, "Partial NVMe destination left in place: " + *refusal,
                m.id);
    return;
  }
  log_.append(MoverLogSource::kPhase,
              "Cleaning up partial NVMe destination after failure: " + m.finalDst, m.id);
  auto alive = alive_;
  const std::string id = m.id, dst = m.finalDst;
  env_.scheduler->runInBackground([this, alive, id, dst]() -> std::function<void()> {
    (void)runTool(env_.run, "/bin/rm", {"-rf", dst},
                  std::chrono::hours(1));  // judged by what is left
    // A path that cannot be examined counts as gone, as it always has.
    const bool gone = !fs::exists(linkStatus(dst).value_or(fs::file_status{}));
    return [this, alive, id, dst, gone] {
      if (!alive->load()) return;
      log_.append(MoverLogSource::kCleanup,
                  gone ? "Partial-destination cleanup OK — " + dst + "."
                       : "Partial-destination cleanup INCOMPLETE — " + dst +
                             " still exists. Manual rm may be required.",
                  id);
    };
  });
}

void LocalFolderMover::startCopy(const std::string& id) {
  MoveManifest* m = find(id);
  if (!m) return;
  const std::uint64_t token = beginTask(Task::kPrep, id);
  const MoveManifest snapshot = *m;
  const fs::path mount = mountPath();
  const fs::path working = workingFolder();
  const fs::path home = env_.paths.home;
  const StatePaths paths = env_.paths;
  const std::string computer = env_.computerName;
  auto alive = alive_;
  const bool toDrive = writesToDrive(snapshot), fromDrive = comesHome(snapshot);
  const bool mountTable = static_cast<bool>(env_.isMounted);
  const bool driveMounted = mounted(mount);
  // Only a move asked for in this process may wipe what is at its target: a
  // record read from disk could name another move's only copy.
  const bool mayWipe = enqueuedHere_.contains(id);
  struct Prep {
    std::optional<std::pair<MovePhase, MoveError>> stop;
    bool wiped = false;
    std::optional<std::string> refusedWipe;  // the reason
    CopyShape shape = CopyShape::kFolderContents;
    std::optional<MountAnchor> anchor;
    // The source holds links into the copy already (an earlier round's):
    // copying them would put each one over the file it leads to.
    bool sourceHasLinks = false;
    bool incomingReady = false;  // the copy tool's own folder at home
  };
  env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
    Prep prep;
    auto current = currentDriveUUID(paths, computer);
    std::error_code ec;
    // Taken before anything is written: every write meant for the drive is
    // checked against this mount, never a bare folder an unplugged drive
    // leaves; a copy coming home is removed only while this mount holds it.
    if (toDrive || fromDrive) prep.anchor = MountAnchor::take(mount);
    const auto onDrive = [&](const fs::path& p) {
      return !toDrive || (prep.anchor ? prep.anchor->holds(p) : !mountTable && fs::exists(p, ec));
    };
    struct stat st {};
    const bool srcIsLink = lstat(snapshot.src.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    if (snapshot.driveUUID && current && *current != *snapshot.driveUUID) {
      // Told as a copy that didn't match, as it always has been.
      prep.stop = {MovePhase::kFailed,
                   {MoveFailure::kVerification,
                    "Destination drive UUID mismatch (" + *snapshot.driveUUID + " vs " + *current +
                        "). Refusing to write into a different drive."}};
    } else if (!driveMounted || !fs::exists(mount, ec) || !onDrive(mount)) {
      prep.stop = {MovePhase::kWaitingForDrive,
                   {MoveFailure::kDriveAbsent, "NVMe drive not mounted."}};
    } else if (lstat(snapshot.finalDst.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      prep.stop = {MovePhase::kFailed,
                   {MoveFailure::kStated,
                    "The folder " + snapshot.finalDst +
                        " that receives the copy was replaced by a link since the move began, so "
                        "Brimvale copied nothing through it and stopped. Nothing was changed where "
                        "the link leads, and your original is untouched; check what is at that "
                        "path, then start the move again."}};
    } else if (srcIsLink) {
      prep.stop = {MovePhase::kFailed,
                   {MoveFailure::kStated,
                    "The folder " + snapshot.src +
                        " was replaced by a link since the move began, so Brimvale copied nothing "
                        "through it and stopped. Nothing was changed where the link leads; check "
                        "what is at that path, then start the move again."}};
    } else if (fs::create_directories(snapshot.dstParent, ec); ec) {
      if (!fs::exists(mount) || !onDrive(mount)) {
        prep.stop = {
            MovePhase::kWaitingForDrive,
            {MoveFailure::kDriveGone, "NVMe drive disconnected while preparing destination."}};
      } else {
        prep.stop = {
            MovePhase::kFailed,
            {MoveFailure::kStatedWithDetails,
             "Could not create destination parent " + snapshot.dstParent + ": " + ec.message()}};
      }
    } else if (!onDrive(snapshot.dstParent)) {
      prep.stop = {
          MovePhase::kWaitingForDrive,
          {MoveFailure::kDriveGone, "NVMe drive disconnected while preparing destination."}};
    } else if (!fs::is_directory(snapshot.dstParent, ec)) {
      prep.stop = {MovePhase::kFailed,
                   {MoveFailure::kUnexplained,
                    "Destination parent " + snapshot.dstParent +
                        " doesn't exist after createDirectory succeeded — refusing to spawn "
                        "rsync."}};
    } else if (snapshot.conflictPolicy == MoveConflictPolicy::kOverride &&
               snapshot.copyRound == 1 && fs::exists(fs::symlink_status(snapshot.finalDst, ec))) {
      // Only before the first copy: a later round copies what changed into
      // the copy that files of the source may already link to.
      prep.refusedWipe =
          mayWipe ? wipeRefusal(snapshot.finalDst, WorkingFolderRule::kRequired, home, working)
                  : std::optional<std::string>(
                        "The move was started by an earlier run of Brimvale, so what is at " +
                        snapshot.finalDst + " may not be its own; it was left as it is.");
      if (prep.refusedWipe) {
        prep.stop = {MovePhase::kFailed,
                     {MoveFailure::kStatedWithDetails,
                      "Couldn't prepare the destination safely, so nothing was changed. Your "
                      "original is untouched."}};
      } else {
        prep.wiped = true;
        (void)runTool(env_.run, "/bin/rm", {"-rf", snapshot.finalDst}, std::chrono::hours(1));
      }
    }
    // A file is copied as a file: with the slashes of a folder's contents the
    // copy tool would fail and leave an empty folder behind.
    if (lstat(snapshot.src.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      prep.shape = CopyShape::kSingleFile;
    // Coming home, nothing at the home path is taken away before its
    // replacement is ready: the copy tool works in a folder of its own there.
    if (!prep.stop && fromDrive && prep.shape == CopyShape::kFolderContents)
      prep.incomingReady =
          prepareHomecoming(snapshot.src, snapshot.finalDst, incomingFolderName(snapshot.id))
              .has_value();
    // The first copy of a move asked for here into a copy that holds
    // nothing yet: no link of the source can lead onto a file of it, nor be
    // one this move made, so the source is not walked for them.
    const bool firstIntoNothing = mayWipe && snapshot.copyRound == 1 && !snapshot.copyStartedAt &&
                                  copyNotBegun(snapshot.finalDst);
    if (!prep.stop && snapshot.replaceSourceWithSymlink &&
        prep.shape == CopyShape::kFolderContents && !firstIntoNothing) {
      const auto census = takeLinkCensus(snapshot.src, {snapshot.finalDst});
      prep.sourceHasLinks = !census || census->linksInto[0] > 0;
    }
    return [=, this] {
      if (!alive->load() || !endTask(Task::kPrep, id, token, MovePhase::kCopying)) return;
      if (prep.refusedWipe) {
        log_.append(MoverLogSource::kPhase,
                    "REFUSED override wipe of unsafe destination: " + snapshot.finalDst, id);
        log_.append(MoverLogSource::kPhase, *prep.refusedWipe, id);
      }
      if (prep.wiped) {
        log_.append(MoverLogSource::kCommand,
                    commandLineText("/bin/rm", {"-rf", snapshot.finalDst}), id);
      }
      if (prep.stop) {
        transition(id, prep.stop->first, prep.stop->second);
        pump();
        return;
      }
      anchors_[id] = prep.anchor;
      if (prep.sourceHasLinks) {
        partlyLinked_.insert(id);
      } else {
        partlyLinked_.erase(id);
      }
      MoveManifest* job = find(id);
      // Known durably before the first byte is copied: a run continued later
      // judges each file by what it did since this moment.
      if (!job->copyStartedAt) {
        job->copyStartedAt = env_.clock();
        if (!save(*job)) {
          transition(id, MovePhase::kFailed, recordNotWritten(*job));
          pump();
          return;
        }
      }
      launchRsync(id, prep.shape, prep.sourceHasLinks, prep.incomingReady);
    };
  });
}

void LocalFolderMover::launchRsync(const std::string& id, CopyShape shape, bool sourceHasLinks,
                                   bool incomingReady) {
  MoveManifest* m = find(id);
  if (!m || !env_.rsync) return;
  auto args = env_.rsync->arguments(m->conflictPolicy, m->src, m->finalDst, shape);
  std::vector<std::string> extra;
  // The relocation's own links are never copied over the files they lead to.
  if (sourceHasLinks) extra.push_back("--no-links");
  // What the copy replaces at home is moved aside, to be kept.
  if (comesHome(*m) && shape == CopyShape::kFolderContents) {
    extra.push_back("--backup");
    extra.push_back("--backup-dir=" + displacedFolderName(m->id));
    // Its half-made files never lie beside the user's, where a program could write to them.
    if (incomingReady)
      extra.push_back("--temp-dir=" + (fs::path(m->finalDst) / incomingFolderName(m->id)).string());
  }
  args.insert(args.end() - 2, extra.begin(), extra.end());  // before the two paths
  copyErrors_.erase(id);
  copiedHere_.insert(id);
  log_.append(MoverLogSource::kCommand, commandLineText(env_.rsync->executablePath, args), id);
  auto handle = std::make_shared<CopyHandle>();
  processes_[id] = handle;
  auto alive = alive_;
  startCopyRun(
      env_.run, env_.rsync->executablePath, args,
      {.post = env_.post,
       .running = [handle](int pid) { handle->pid.store(pid); },
       .started =
           [=, this](int pid) {
             if (alive->load())
               log_.append(MoverLogSource::kInfo, "rsync started (pid " + std::to_string(pid) + ")",
                           id);
           },
       .lines =
           [=, this](const std::vector<CopyLine>& batch) {
             if (alive->load()) handleCopyOutput(id, batch);
           },
       .finished =
           [=, this](int code, const std::string& launchError) {
             if (!alive->load()) return;
             if (!launchError.empty()) {
               processes_.erase(id);
               log_.append(MoverLogSource::kInfo, "failed to spawn rsync: " + launchError, id);
               if (const MoveManifest* j = job(id); j && j->phase == MovePhase::kCopying) {
                 transition(
                     id, MovePhase::kFailed,
                     MoveError{MoveFailure::kUnexplained, "Failed to start rsync: " + launchError});
               }
               pump();
               return;
             }
             copyFinished(id, code);
           }});
}

void LocalFolderMover::handleCopyOutput(const std::string& id, const std::vector<CopyLine>& lines) {
  // Only the newest progress line of a batch matters; the manifest is saved
  // when it reaches the next 5 % step.
  std::optional<RsyncProgressInfo> latest;
  std::vector<std::string> run;  // consecutive lines of one stream, logged together
  bool runIsErr = false;
  std::vector<const std::string*> logged;
  auto flush = [&] {
    log_.appendAll(runIsErr ? MoverLogSource::kRsyncErr : MoverLogSource::kRsync, std::move(run),
                   id);
    run.clear();
  };
  for (const auto& line : lines) {
    // Progress lines are logged too: they show how a copy went, not only where it stopped.
    if (!run.empty() && runIsErr != line.isErr) flush();
    runIsErr = line.isErr;
    run.push_back(line.text);
    if (auto p = parseProgressLine(line.text)) {
      latest = p;
      continue;
    }
    if (line.isErr) {
      auto& errors = copyErrors_[id];
      if (errors.size() < kCopyErrorLinesKept) errors.push_back(line.text);
    }
    logged.push_back(&line.text);
  }
  if (!run.empty()) flush();
  for (auto it = logged.rbegin(); it != logged.rend(); ++it) {
    if (auto file = currentFileFromLine(**it)) {
      rsyncCurrentFile_[id] = *file;
      break;
    }
  }
  if (!latest) return;
  rsyncStats_[id] = *latest;
  MoveManifest* m = find(id);
  if (m && m->phase == MovePhase::kCopying) {
    const bool savePoint = passesSavePoint(m->fractionAtLastWrite, latest->fraction);
    m->fractionAtLastWrite = latest->fraction;
    if (savePoint) save(*m);
    publish(*m);
  }
}

void LocalFolderMover::copyFinished(const std::string& id, int exitCode) {
  processes_.erase(id);
  log_.append(MoverLogSource::kInfo, "rsync exited with code " + std::to_string(exitCode), id);
  std::vector<std::string> errors;
  if (auto it = copyErrors_.find(id); it != copyErrors_.end()) {
    errors = std::move(it->second);
    copyErrors_.erase(it);
  }
  // A cancel that ended the copy has already moved the job on; its exit code
  // then says nothing about the copy.
  const MoveManifest* m = job(id);
  if (m && m->phase == MovePhase::kCopying) {
    const bool landed = !writesToDrive(*m) || onJobsDrive(anchors_[id], m->finalDst);
    if (exitCode == 0 && landed && (m->copyRound > 1 || partlyLinked_.erase(id) > 0)) {
      // What changed was copied again; the guard compares each file before
      // it is replaced, as it did in the first round.
      transition(id, MovePhase::kCleaningUp, std::nullopt,
                 "Copied again what changed during the move.");
      stopPoint("mover:copied");
    } else if (exitCode == 0 && landed) {
      transition(id, MovePhase::kHashing, std::nullopt, std::string(kHashingStatus));
      stopPoint("mover:copied");
    } else if (!landed || !destinationReachable(*m)) {
      transition(
          id, MovePhase::kWaitingForDrive,
          MoveError{MoveFailure::kDriveGone,
                    "Destination drive disconnected during copy. Will resume on reconnect."});
    } else {
      transition(id, MovePhase::kFailed, copyFailureMessage(exitCode, m->src, errors));
    }
  }
  advance(id);
}

void LocalFolderMover::advance(const std::string& id) {
  const MoveManifest* m = job(id);
  if (m && !isPaused_ && !isActive(id)) {
    switch (m->phase) {
      case MovePhase::kHashing: startVerification(id); break;
      case MovePhase::kVerifying: startSizeCheck(id); break;
      case MovePhase::kCleaningUp: startCleanup(id); break;
      default: break;
    }
  }
  pump();
}

void LocalFolderMover::startVerification(const std::string& id) {
  MoveManifest* m = find(id);
  if (!m) return;
  const VerificationLevel lvl = level();
  // With verification off the copy is trusted as it is; the clean-up still
  // refuses a copy that is missing or out of the policy's roots.
  if (lvl == VerificationLevel::kOff) {
    recordVerification(id, VerificationOutcome{.verdict = VerificationOutcome::Verdict::kSkipped,
                                               .level = VerificationLevel::kOff});
    stopPoint("mover:verified");
    startCleanup(id);
    return;
  }
  const std::uint64_t token = beginTask(Task::kHashing, id);
  const MoveManifest snap = *m;
  auto alive = alive_;
  auto post = env_.post;
  if (lvl == VerificationLevel::kFast) {
    m->statusMessage = "Quick-comparing source + destination…";
    publish(*m);
    env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
      auto compared = quickCompareTrees(snap.src, snap.finalDst);
      std::vector<Difference> counted;
      std::vector<std::string> unequal;
      std::optional<MeasuredSizes> sizes;
      std::uint64_t files = 0;
      if (compared) {
        files = compared->srcFiles;
        sizes = MeasuredSizes{kibRoundedUp(compared->srcBytes), kibRoundedUp(compared->dstBytes)};
        counted = countedDifferences(std::move(compared->differences), snap.conflictPolicy);
        for (const auto& d : counted) {
          const fs::path a = fs::path(snap.src) / d.path, b = fs::path(snap.finalDst) / d.path;
          auto ha = sha256File(a), hb = sha256File(b);
          if (!ha || !hb || *ha != *hb) unequal.push_back(d.path);
        }
      }
      const bool walkOk = compared.has_value();
      // The sizes measured on the way spare the size check a second walk.
      return [=, this] {
        if (!alive->load() || !endTask(Task::kHashing, id, token, MovePhase::kHashing)) return;
        if (sizes) measuredSizes_[id] = *sizes;
        if (walkOk) verifiedFiles_[id] = files;
        recordVerification(
            id, fastVerificationOutcome(walkOk, counted, unequal, destinationReachable(snap)));
        advance(id);
      };
    });
    return;
  }
  // Thorough: both trees hashed whole; progress goes to the status line.
  hashedCounts_.erase(id);
  auto reporter = [=, this](const char* which) {
    return [=, this](std::size_t done, std::size_t total) {
      if (total == 0 || (done != total && done % 256 != 0)) return;
      const int percent = static_cast<int>(done * 100 / total);
      const auto side = std::string_view(which) == "source" ? HashedCount::Side::kSource
                                                            : HashedCount::Side::kDestination;
      post([=, this] {
        if (!alive->load()) return;
        MoveManifest* j = find(id);
        if (!j || j->phase != MovePhase::kHashing) return;
        hashedCounts_[id] = HashedCount{side, done, total};
        j->statusMessage = std::string("Hashing ") + which + " — " + std::to_string(percent) + "%";
        publish(*j);
      });
    };
  };
  env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
    // Override owns the whole destination, so the whole trees must be equal;
    // a merge may land among files that were there before, so only the
    // source's entries and their counterparts are compared.
    std::optional<std::string> srcHash, dstHash;
    std::vector<std::string> differing;
    if (snap.conflictPolicy == MoveConflictPolicy::kOverride) {
      TreeDigests digests =
          treeDigests(snap.src, snap.finalDst, reporter("source"), reporter("destination"));
      srcHash = std::move(digests.src);
      dstHash = std::move(digests.dst);
    } else {
      CounterpartCheck check = compareCounterparts(snap.src, snap.finalDst, snap.conflictPolicy,
                                                   reporter("source"), reporter("destination"));
      srcHash = std::move(check.srcDigest);
      dstHash = std::move(check.dstDigest);
      differing = std::move(check.differing);
    }
    // A digest missing while the drive is gone is a pause, not a failure: the
    // copy may well be intact when the drive returns.
    return [=, this] {
      if (!alive->load()) return;
      hashedCounts_.erase(id);
      if (!endTask(Task::kHashing, id, token, MovePhase::kHashing)) return;
      const bool bothThere = destinationReachable(snap) && fs::exists(snap.finalDst);
      MoveManifest* j = find(id);
      j->srcContentHash = srcHash;
      j->dstContentHash = dstHash;
      recordVerification(id, thoroughVerificationOutcome(srcHash, dstHash, differing, bothThere));
      advance(id);
    };
  });
}

void LocalFolderMover::recordVerification(const std::string& id,
                                          const VerificationOutcome& outcome) {
  const VerificationReport report = renderVerification(outcome);
  for (const std::string& line : report.logLines) log_.append(MoverLogSource::kHashing, line, id);
  transition(id, report.next, report.lastError, report.statusMessage);
}

void LocalFolderMover::startSizeCheck(const std::string& id) {
  MoveManifest* m = find(id);
  if (!m) return;
  const std::uint64_t token = beginTask(Task::kVerify, id);
  const MoveManifest snap = *m;
  auto alive = alive_;
  // The quick comparison just walked both trees and measured them on the way.
  std::optional<MeasuredSizes> measured;
  if (auto it = measuredSizes_.find(id); it != measuredSizes_.end()) {
    measured = it->second;
    measuredSizes_.erase(it);
  }
  env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
    std::int64_t live = 0, dst = 0;
    if (measured) {
      live = measured->liveKB;
      dst = measured->dstKB;
    } else {
      // Two independent walks: one on another core.
      auto dstKib =
          std::async(std::launch::async, [&] { return apparentSizeKB(snap.finalDst).value_or(0); });
      live = apparentSizeKB(snap.src).value_or(0);
      dst = dstKib.get();
    }
    return [=, this] {
      if (!alive->load() || !endTask(Task::kVerify, id, token, MovePhase::kVerifying)) return;
      const bool parentThere = destinationReachable(snap);
      const SizeCheck check = sizeCheck(snap.srcSizeKB, live, dst);
      if (!parentThere) {
        transition(id, MovePhase::kWaitingForDrive,
                   MoveError{MoveFailure::kDriveGone,
                             "Destination drive disappeared during verification. Will resume on "
                             "reconnect."});
      } else if (!check.passed) {
        transition(id, MovePhase::kFailed,
                   MoveError{MoveFailure::kVerification, check.failureText()});
      } else if (snap.conflictPolicy == MoveConflictPolicy::kOverride && snap.srcContentHash &&
                 snap.dstContentHash && *snap.srcContentHash != *snap.dstContentHash) {
        transition(id, MovePhase::kFailed,
                   MoveError{MoveFailure::kVerification,
                             "Content hash mismatch — destination doesn't match source "
                             "byte-for-byte. Source preserved. Hashes: src=" +
                                 snap.srcContentHash->substr(0, 12) +
                                 " dst=" + snap.dstContentHash->substr(0, 12)});
      } else {
        transition(id, MovePhase::kCleaningUp);
        stopPoint("mover:verified");
      }
      advance(id);
    };
  });
}

bool LocalFolderMover::writesToDrive(const MoveManifest& m) const {
  const auto parent = normalisedAbsolute(m.dstParent);
  const fs::path mount = mountPath();
  return parent && (*parent == mount || isStrictlyInside(*parent, mount));
}

bool LocalFolderMover::comesHome(const MoveManifest& m) const {
  const auto src = normalisedAbsolute(m.src);
  const fs::path mount = mountPath();
  return !m.replaceSourceWithSymlink && src && isStrictlyInside(*src, mount);
}

bool LocalFolderMover::onJobsDrive(const std::optional<MountAnchor>& anchor,
                                   const fs::path& inside) const {
  if (anchor) return anchor->holds(inside);
  std::error_code ec;
  return !env_.isMounted && fs::exists(inside, ec);
}

void LocalFolderMover::copyAgainOrStop(const std::string& id,
                                       const std::vector<std::string>& changed) {
  MoveManifest* m = find(id);
  if (!m) return;
  const std::string count = std::to_string(changed.size()) + " file" + plural(changed.size());
  if (m->copyRound >= kCopyRounds) {
    transition(
        id, MovePhase::kFailed,
        MoveError{
            MoveFailure::kStated,
            "Files in " + quotedName(m->src) +
                " kept changing while Brimvale moved it, so it stopped "
                "after copying them " +
                std::to_string(kCopyRounds) + " times and left them where they are: " +
                someFiles(changed) + ". Nothing was lost: " +
                (m->replaceSourceWithSymlink
                     ? "every other file is a link to its checked copy on the drive, and these are "
                       "still in place."
                     : "every other file was moved to " + m->finalDst +
                           " once its copy was checked, and these are still in place.") +
                " Close the apps that write there, then run the move again."});
    return;
  }
  log_.append(MoverLogSource::kCleanup,
              count + " written during the move, copying again (round " +
                  std::to_string(m->copyRound + 1) + " of " + std::to_string(kCopyRounds) +
                  "): " + someFiles(changed),
              id);
  ++m->copyRound;
  transition(id, MovePhase::kCopying, std::nullopt,
             "Copying again " + count + " written during the move…");
}

void LocalFolderMover::finishMove(const std::string& id, std::optional<std::string> statusMessage) {
  anchors_.erase(id);
  transition(id, MovePhase::kDone, std::nullopt, std::move(statusMessage));
}

void LocalFolderMover::startCleanup(const std::string& id) {
  MoveManifest* m = find(id);
  if (!m) return;
  const std::uint64_t token = beginTask(Task::kCleanup, id);
  const MoveManifest snap = *m;
  auto alive = alive_;
  copiedHere_.erase(id);
  // A record read from disk may name anything: its source must be a path
  // Brimvale may touch and its copy must be there. Then the guard decides,
  // file by file, what may be replaced or removed.
  const PathPolicy policy = pathPolicy();
  const ReplaceGuard guard = cleanupGuard(snap, level());
  const bool toDrive = writesToDrive(snap), fromDrive = comesHome(snap);
  // The copy is on the drive its copy began on or, continued from a record,
  // the one mounted now; a copy coming home is removed from the drive only
  // while that drive is there (its absence is no removal).
  if ((toDrive || fromDrive) && !anchors_.contains(id))
    anchors_[id] = MountAnchor::take(mountPath());
  const std::optional<MountAnchor> anchor = toDrive || fromDrive ? anchors_[id] : std::nullopt;
  FileOperations* files = env_.files;
  // Logs from the clean-up's thread, in order with its result.
  auto logLater = [post = env_.post, alive, id, this](MoverLogSource source, std::string text) {
    post([=, this] {
      if (alive->load()) log_.append(source, text, id);
    });
  };
  // Nothing is touched unless the copy is where it should be.
  auto refusalNow = [=, this]() -> std::optional<CleanupRefusal> {
    if (auto refusal = cleanupRefusal(snap, policy)) return refusal;
    if (toDrive && !onJobsDrive(anchor, snap.finalDst)) {
      return CleanupRefusal{
          {MoveFailure::kDriveGone, "The drive holding the copy at " + snap.finalDst +
                                        " is not the one the copy was made on now."},
          true};
    }
    if (fromDrive && !onJobsDrive(anchor, snap.src)) {
      return CleanupRefusal{
          {MoveFailure::kDriveGone, "The drive holding " + snap.src + " is not connected now."},
          true};
    }
    return std::nullopt;
  };
  auto refused = [=, this](const CleanupRefusal& refusal) {
    log_.append(MoverLogSource::kCleanup,
                "REFUSED clean-up of " + snap.src + ": " + refusal.error.text, id);
    if (refusal.driveMayBeGone &&
        (!destinationReachable(snap) || (toDrive && !onJobsDrive(anchor, snap.dstParent)) ||
         (fromDrive && !onJobsDrive(anchor, fs::path(snap.src).parent_path())))) {
      transition(id, MovePhase::kWaitingForDrive,
                 MoveError{MoveFailure::kDriveGone,
                           "Destination drive disappeared before clean-up. Will resume on "
                           "reconnect."});
    } else {
      transition(id, MovePhase::kFailed, refusal.error);
    }
    pump();
  };
  if (snap.replaceSourceWithSymlink) {
    const fs::path diagnosticsFile = env_.paths.diagnosticsLog;
    linkedCounts_.erase(id);
    finishedOnLinkedCheck_.erase(id);
    // The verification's walk counted the files just now: no walk to count them again.
    std::optional<std::size_t> verifiedFiles;
    if (auto it = verifiedFiles_.find(id); it != verifiedFiles_.end()) {
      verifiedFiles = static_cast<std::size_t>(it->second);
      verifiedFiles_.erase(it);
    }
    // Every 256th file and the last, as the hashing pass reports.
    const RelinkProgress linking = [=, post = env_.post, this](std::size_t done,
                                                               std::size_t total) {
      if (done != total && done % 256 != 0) return;
      post([=, this] {
        if (!alive->load()) return;
        const MoveManifest* j = find(id);
        if (j && j->phase == MovePhase::kCleaningUp) linkedCounts_[id] = LinkedCount{done, total};
      });
    };
    env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
      std::optional<CleanupRefusal> refusal = refusalNow();
      std::optional<WalkResult> walked;
      std::optional<LinkedTreeCheck> check;
      if (!refusal) {
        logLater(MoverLogSource::kCleanup, "relocate cleanup: walking " + snap.src +
                                               " to replace files with symlinks → " +
                                               snap.finalDst);
        const DiagnosticsLog diagnostics(diagnosticsFile);
        walked =
            relinkTree(snap.src, snap.finalDst,
                       {.files = *files,
                        .diagnostics = diagnostics,
                        .guard = guard,
                        .progress = linking,
                        .keepNewerCopy = snap.conflictPolicy == MoveConflictPolicy::kMergeKeepNewer,
                        .plainFiles = verifiedFiles});
        // The walk looks at each folder again once its files are links.
        check = walked->linkedCheck;
      }
      const bool driveGone = toDrive && !onJobsDrive(anchor, snap.finalDst);
      // A partial relink is a failure that keeps every file, each as itself or
      // as a link to its copy; running the move again finishes it.
      return [=, this] {
        if (!alive->load()) return;
        linkedCounts_.erase(id);
        if (!endTask(Task::kCleanup, id, token, MovePhase::kCleaningUp)) return;
        if (refusal) return refused(*refusal);
        const WalkResult& r = *walked;
        log_.append(MoverLogSource::kCleanup,
                    std::string("relocate ") + (r.singleFile ? "single-file" : "tree") +
                        " walk done: " + std::to_string(r.relinked) + " relinked, " +
                        std::to_string(r.skipped) + " skipped (dirs/symlinks), " +
                        std::to_string(r.errors) + " error(s), " +
                        std::to_string(r.changed.size()) + " changed",
                    id);
        std::vector<std::string> changed = r.changed;
        changed.insert(changed.end(), check->notLinked.begin(), check->notLinked.end());
        std::sort(changed.begin(), changed.end());
        changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
        if (r.firstError) {
          transition(id, MovePhase::kFailed,
                     MoveError{MoveFailure::kPartlyRelinked,
                               "Relocate cleanup partial: " + *r.firstError +
                                   ". Destination is valid at " + snap.finalDst +
                                   "; some source files may not have been symlinked. Re-run "
                                   "Relocate to retry, or inspect the source tree manually."});
        } else if (check->replaced) {
          transition(id, MovePhase::kFailed,
                     MoveError{MoveFailure::kStated,
                               "The folder " + snap.src +
                                   " was moved or replaced by a link to another place during the "
                                   "move, so Brimvale stopped and changed nothing there. Nothing "
                                   "was lost: its copy stays at " +
                                   snap.finalDst +
                                   ". Check what is at that path, then run the move again."});
        } else if (driveGone) {
          // Links made meanwhile lead to the copy and work again once it is back.
          transition(id, MovePhase::kWaitingForDrive,
                     MoveError{MoveFailure::kDriveGone,
                               "Destination drive disappeared during clean-up. Will resume on "
                               "reconnect."});
        } else if (!changed.empty()) {
          copyAgainOrStop(id, changed);
        } else if (check->unreadable || !check->dangling.empty()) {
          transition(
              id, MovePhase::kFailed,
              MoveError{MoveFailure::kPartlyRelinked,
                        "Relocate cleanup partial: " +
                            (check->unreadable ? "a folder of " + snap.src + " could not be read"
                                               : someFiles(check->dangling) +
                                                     " link to copies that are missing") +
                            ". Destination is valid at " + snap.finalDst +
                            "; some source files may not have been symlinked. Re-run "
                            "Relocate to retry, or inspect the source tree manually."});
        } else {
          finishedOnLinkedCheck_.insert(id);
          finishMove(id);
        }
        pump();
      };
    });
    return;
  }
  if (fromDrive) {
    // The user asked for the drive's version only by choosing to overwrite.
    const HomePath which = snap.conflictPolicy == MoveConflictPolicy::kMergeKeepNewer
                               ? HomePath::kHomeVersion
                               : HomePath::kDriveVersion;
    env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
      std::optional<CleanupRefusal> refusal = refusalNow();
      HomecomingCleanup home;
      bool gone = false;
      if (!refusal) {
        home = cleanUpAfterHomecoming(snap.src, snap.finalDst, displacedFolderName(snap.id),
                                      incomingFolderName(snap.id), which, guard, *files);
        stopPoint("mover:removed");
        gone = !fs::exists(linkStatus(snap.src).value_or(fs::file_status{})) && copyInPlace(snap) &&
               onJobsDrive(anchor, fs::path(snap.src).parent_path());
      }
      return [=, this] {
        if (!alive->load() || !endTask(Task::kCleanup, id, token, MovePhase::kCleaningUp)) return;
        if (refusal) return refused(*refusal);
        const auto left = home.removal.leftBehind();
        log_.append(
            MoverLogSource::kCleanup,
            "brought home: removed " + std::to_string(home.removal.removed) + " item(s) of " +
                snap.src + ", kept " + std::to_string(home.keptBeside.size()) +
                " other version(s) beside their home files, left " + std::to_string(left.size()),
            id);
        std::optional<std::string> kept;
        if (!home.keptBeside.empty()) {
          kept = "Kept both versions of " + std::to_string(home.keptBeside.size()) + " file" +
                 plural(home.keptBeside.size()) + "; the other version" +
                 plural(home.keptBeside.size()) + " beside " +
                 (home.keptBeside.size() == 1 ? "it: " : "them: ") + someFiles(home.keptBeside);
        }
        if (home.removal.complete() && gone) {
          finishMove(id, kept);
        } else {
          transition(
              id, MovePhase::kFailed,
              MoveError{
                  MoveFailure::kStated,
                  "Brimvale brought " + quotedName(snap.finalDst) + " home to " + snap.finalDst +
                      ", but " + std::to_string(left.size()) + " item" + plural(left.size()) +
                      " of its copy on the drive could be neither removed nor kept beside "
                      "the home version, so they stay at " +
                      snap.src + ": " + someFiles(left) +
                      ". Your data is safe. Compare them with the files at home, then run the "
                      "move again." +
                      (kept ? " " + *kept + "." : std::string())});
        }
        pump();
      };
    });
    return;
  }
  env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
    std::optional<CleanupRefusal> refusal = refusalNow();
    GuardedRemoval removal;
    bool gone = false;
    if (!refusal) {
      removal = removeVerifiedTree(snap.src, snap.finalDst, guard, *files);
      stopPoint("mover:removed");
      gone = !fs::exists(linkStatus(snap.src).value_or(fs::file_status{})) && copyInPlace(snap);
    }
    return [=, this] {
      if (!alive->load() || !endTask(Task::kCleanup, id, token, MovePhase::kCleaningUp)) return;
      if (refusal) return refused(*refusal);
      log_.append(MoverLogSource::kCleanup,
                  "removed " + std::to_string(removal.removed) + " item(s) of " + snap.src +
                      " against their copies; left " + std::to_string(removal.leftBehind().size()),
                  id);
      if (removal.complete() && gone) {
        finishMove(id);
      } else if (!removal.failed.empty() || removal.leftBehind().empty()) {
        transition(id, MovePhase::kFailed,
                   MoveError{MoveFailure::kSourceNotRemoved,
                             "Cleanup of source failed (" +
                                 (removal.failed.empty() ? snap.src + " is still there"
                                                         : someFiles(removal.failed)) +
                                 "). Destination is valid; source still occupies disk space."});
      } else {
        copyAgainOrStop(id, removal.leftBehind());
      }
      pump();
    };
  });
}

std::string finishingNotStopped(const MoveManifest& m) {
  return "The move of " + quotedName(m.src) +
         " is already replacing the original with links to its copy, and stopping half-way would "
         "leave it half done, so it goes on to the end. Your data is safe.";
}

std::optional<std::string> LocalFolderMover::cancel(const std::string& id) {
  const MoveManifest* m = job(id);
  if (m && m->phase == MovePhase::kCleaningUp) return finishingNotStopped(*m);
  if (auto it = processes_.find(id); it != processes_.end()) {
    // The copy stays listed until it has really ended: its slot is taken
    // until then, and its partial copy must not be removed under it.
    if (int pid = it->second->pid.load(); pid > 0) kill(-pid, SIGTERM);
  }
  for (auto& [_, ids] : tasks_) ids.erase(id);
  if (m && !isTerminal(m->phase)) {
    const bool driveGone = m->phase == MovePhase::kWaitingForDrive;
    transition(id, MovePhase::kCancelled,
               MoveError{MoveFailure::kStated, std::string(kCancelledByUser)});
    if (claimedTargets_.contains(id) && !driveGone) discards_[id] = false;
  }
  pump();
  return std::nullopt;
}

void LocalFolderMover::discardPartialCopies() {
  std::vector<std::string> ready;
  for (const auto& [id, started] : discards_) {
    if (!started && !processes_.contains(id)) ready.push_back(id);
  }
  for (const auto& id : ready) {
    auto claimed = claimedTargets_.find(id);
    const MoveManifest* m = job(id);
    if (claimed == claimedTargets_.end() || !m || m->phase != MovePhase::kCancelled ||
        m->finalDst != claimed->second) {
      discards_.erase(id);
      continue;
    }
    const std::string path = claimed->second;
    if (auto allowed = pathPolicy().check(path); !allowed) {
      log_.append(MoverLogSource::kCleanup,
                  "left the partial copy in place: " + allowed.error().sentence(), id);
      discards_.erase(id);
      continue;
    }
    discards_[id] = true;
    log_.append(MoverLogSource::kCommand, commandLineText("/bin/rm", {"-rf", path}), id);
    auto alive = alive_;
    env_.scheduler->runInBackground([this, alive, id, path]() -> std::function<void()> {
      (void)runTool(env_.run, "/bin/rm", {"-rf", path},
                    std::chrono::hours(1));  // judged by what is left
      // A path that cannot be examined counts as gone, as it always has.
      const bool gone = !fs::exists(linkStatus(path).value_or(fs::file_status{}));
      return [this, alive, id, path, gone] {
        if (!alive->load()) return;
        log_.append(MoverLogSource::kCleanup,
                    gone ? "Removed the partial copy at " + path + "."
                         : "Couldn't remove all of the partial copy at " + path +
                               "; what is left stays there.",
                    id);
        discards_.erase(id);
        claimedTargets_.erase(id);
        if (const MoveManifest* j = job(id)) publish(*j);
      };
    });
  }
}

std::optional<std::string> LocalFolderMover::revert(const std::string& id) {
  const MoveManifest* m = job(id);
  if (!m) return "That move is not in the list.";
  if (m->phase != MovePhase::kDone) {
    return "Only completed moves can be reverted (phase is " + std::string(phaseRaw(m->phase)) +
           ").";
  }
  if (exists(m->src)) {
    return "Something already exists at the original source path " + m->src +
           ". Move or delete it before reverting.";
  }
  if (!exists(m->finalDst))
    return "The destination " + m->finalDst + " is gone — nothing to revert from.";
  const std::string parent = fs::path(m->src).parent_path().string();
  if (!fs::is_directory(parent)) {
    return "The original parent directory " + parent +
           " no longer exists. Recreate it or revert manually.";
  }
  // The copy goes back only onto a path that is free.
  auto queued = moveCopyBack(*m, MoveConflictPolicy::kMerge, MoveTarget::Rule::kClaimExact);
  if (!queued) return queued.error();
  return std::nullopt;
}

std::expected<std::string, std::string> LocalFolderMover::moveCopyBack(const MoveManifest& finished,
                                                                       MoveConflictPolicy policy,
                                                                       MoveTarget::Rule rule) {
  // A copy: `finished` may be one of jobs_, which the enqueue below grows.
  const MoveManifest m = finished;
  auto current = currentDriveUUID(env_.paths, env_.computerName);
  if (m.driveUUID && current && *current != *m.driveUUID) {
    return std::unexpected("Destination drive UUID has changed (" + *m.driveUUID + " vs " +
                           *current + "). Refusing to revert across a drive swap.");
  }
  const auto back = normalisedAbsolute(m.finalDst);
  MoveScope scope({env_.paths.home, mountPath(), workingFolder(), env_.extraRoots, {}});
  auto scoped = scope.check(m.finalDst, brimvale::MoveDirection::kBackFromDrive,
                            [&](const fs::path& p) { return back && p == *back; });
  if (!scoped) return std::unexpected(scoped.error().sentence());
  // Under its original name, even when the relocation had to number the copy.
  auto id = enqueue(m.finalDst, fs::path(m.src).parent_path().string(), policy, false,
                    MoveTriggerSource::kUserMove, std::nullopt,
                    MoveTarget{rule, fs::path(m.src).filename().string()});
  if (!id || !job(*id))
    return std::unexpected("LocalFolderMover.enqueue did not accept the reverse move");
  return *id;
}

std::optional<std::string> LocalFolderMover::resumeRefusal(const MoveManifest& m) const {
  const std::string lead = "Brimvale did not resume the move of " + quotedName(m.src) +
                           " because its record names a path it may not touch: ";
  const auto src = normalisedAbsolute(m.src);
  const auto dstParent = normalisedAbsolute(m.dstParent);
  const auto finalDst = normalisedAbsolute(m.finalDst);
  if (!src || !dstParent || !finalDst) {
    return lead + "the paths in it are not full paths. Nothing was changed.";
  }
  if (finalDst->parent_path() != *dstParent) {
    return lead + m.finalDst + " does not lie in " + m.dstParent + ". Nothing was changed.";
  }
  const fs::path mount = mountPath(), working = workingFolder();
  const bool back = *src == mount || isStrictlyInside(*src, mount);
  MoveScope scope({env_.paths.home, mount, working, env_.extraRoots, {}});
  auto scoped =
      back ? scope.check(m.src, brimvale::MoveDirection::kBackFromDrive,
                         [&](const fs::path& p) {
                           for (const auto& r : store_.all()) {
                             if (r.phase == MovePhase::kDone && normalisedAbsolute(r.finalDst) == p)
                               return true;
                           }
                           return false;
                         })
           : scope.check(m.src, brimvale::MoveDirection::kToDrive);
  if (!scoped) return lead + scoped.error().sentence();
  auto allowed = pathPolicy().check(*finalDst);
  if (!allowed) return lead + allowed.error().sentence();
  const bool endsOnDrive = allowed->root == PathRoot::kWorkingFolder;
  if (back == endsOnDrive) {
    return lead +
           (back ? "a move back from the drive must end outside it, and this one ends at "
                 : "a move to the drive must end in its folder " + working.string() +
                       ", and this one ends at ") +
           m.finalDst + ". Nothing was changed.";
  }
  // A copy resumed into a folder that another finished move put there would
  // overwrite that move's only copy, file by file; a clean-up copies again
  // what changed meanwhile.
  if (!isTerminal(m.phase)) {
    for (const auto& other : store_.all()) {
      if (other.id == m.id || other.phase != MovePhase::kDone) continue;
      const auto theirs = normalisedAbsolute(other.finalDst);
      if (theirs && (*theirs == *finalDst || isStrictlyInside(*theirs, *finalDst) ||
                     isStrictlyInside(*finalDst, *theirs))) {
        return lead + m.finalDst + " holds the copy of another finished move (" + other.id +
               "), so copying into it could overwrite that copy. Nothing was changed.";
      }
    }
  }
  return std::nullopt;
}

void LocalFolderMover::reload() {
  for (auto& m : listedMoves(store_.all())) {
    if (MoveManifest* known = find(m.id)) {
      // Another process may have moved it on since it was read: what is on
      // disk counts, unless this process is running a step of it.
      if (!isActive(m.id) && !discards_.contains(m.id) && *known != m) {
        *known = std::move(m);
        publish(*known);
      }
      continue;
    }
    jobs_.push_back(std::move(m));
    publish(jobs_.back());
  }
  std::vector<std::string> unfinished;
  for (const auto& j : jobs_) {
    if (!isTerminal(j.phase) && !isActive(j.id)) unfinished.push_back(j.id);
  }
  for (const auto& id : unfinished) {
    // Failed without the usual after-effects: a record that points at paths
    // it must not touch gets nothing deleted on its behalf either.
    if (auto refusal = resumeRefusal(*job(id))) {
      changePhase(id, MovePhase::kFailed, MoveError{MoveFailure::kStated, *refusal}, std::nullopt,
                  PhaseEffects::kRecordOnly);
    }
  }
  std::vector<std::string> waiting;
  for (const auto& j : jobs_) {
    if (j.phase == MovePhase::kWaitingForDrive) waiting.push_back(j.id);
  }
  for (const auto& id : waiting) {
    const MoveManifest* j = job(id);
    if (!fs::exists(j->dstParent)) continue;
    if (j->driveUUID) {
      auto current = currentDriveUUID(env_.paths, env_.computerName);
      if (!current || *current != *j->driveUUID) {
        transition(id, MovePhase::kFailed,
                   MoveError{MoveFailure::kDriveGone,
                             "Destination drive's volume UUID doesn't match the manifest (started "
                             "against " +
                                 *j->driveUUID + ", currently mounted " +
                                 current.value_or("unknown") + "). Refusing to resume."});
        continue;
      }
    }
    transition(id, MovePhase::kCopying);
  }
  if (env_.owner) {
    for (const auto& j : jobs_) {
      if (!isTerminal(j.phase) && j.owner != env_.owner) save(j);
    }
  }
  pump();
  runMigrations();
}

bool LocalFolderMover::finishPartialRelocation(const std::string& id) {
  const MoveManifest* m = job(id);
  if (!m || m->phase != MovePhase::kFailed || !m->replaceSourceWithSymlink || isActive(id) ||
      resumeRefusal(*m)) {
    return false;
  }
  auto current = currentDriveUUID(env_.paths, env_.computerName);
  if (m->driveUUID && current && *current != *m->driveUUID) return false;
  const auto census = takeLinkCensus(m->src, {m->finalDst});
  if (!census || census->linksInto[0] == 0) return false;
  log_.append(MoverLogSource::kInfo,
              "finishing the relocation: " + std::to_string(census->linksInto[0]) + " item(s) of " +
                  m->src + " already link to " + m->finalDst,
              id);
  // A run that finishes the move has its own rounds of copying what changed.
  find(id)->copyRound = 1;
  transition(id, MovePhase::kCleaningUp, std::nullopt,
             "Finishing the links to the copy on the drive…");
  pump();
  return true;
}

void LocalFolderMover::runMigrations() {
  const DiagnosticsLog diagnostics(env_.paths.diagnosticsLog, env_.clock);
  const fs::path markers = env_.paths.state / ".migrations";
  std::error_code ec;
  fs::create_directories(markers, ec);
  if (!fs::exists(markers / "prune-autosync-failures-v1.done")) {
    std::size_t moved = 0;
    fs::path backup;
    for (const auto& m : store_.all()) {
      if (m.phase != MovePhase::kFailed || m.triggerSource != MoveTriggerSource::kAutoSync)
        continue;
      if (backup.empty()) {
        backup = env_.paths.state / ("folder-moves-backup-" + std::to_string(env_.clock()));
        fs::create_directories(backup, ec);
      }
      fs::rename(store_.fileURL(m.id), backup / (m.id + ".json"), ec);
      if (ec) continue;
      ++moved;
      std::erase_if(jobs_, [&](const auto& j) { return j.id == m.id; });
    }
    bestEffort(touchFile(markers / "prune-autosync-failures-v1.done"), diagnostics,
               "marking the auto-sync records pruned");
    if (moved > 0) {
      log_.append(MoverLogSource::kInfo, "Cleared " + std::to_string(moved) +
                                             " stale auto-sync failure record" + plural(moved) +
                                             " (backed up to " + backup.string() + ")");
    }
  }
  if (!fs::exists(markers / "jobinsights-backfill-v1.done")) {
    std::vector<const MoveManifest*> failed;
    for (const auto& j : jobs_) {
      if (j.phase == MovePhase::kFailed) failed.push_back(&j);
    }
    if (!failed.empty() && env_.ledger) {
      bestEffort(env_.ledger->recordRun(
                     transfers::JobKind::kFileMoves, transfers::JobOutcome::kFailed,
                     "Some earlier moves didn't finish — open an item below for the details.",
                     static_cast<std::int64_t>(failed.size())),
                 diagnostics, "recording the earlier failed moves");
      for (const auto* j : failed) {
        bestEffort(env_.ledger->recordIssue(transfers::JobKind::kFileMoves, lastComponent(j->src),
                                            userFacingFailure(*j)),
                   diagnostics, "recording an earlier failed move's issue");
      }
    }
    bestEffort(touchFile(markers / "jobinsights-backfill-v1.done"), diagnostics,
               "marking the earlier failed moves recorded");
  }
}

}  // namespace brimvale::mover
