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

#include <nlohmann/json.hpp>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/state/configured_drive.h"
#include "common/state/move_scope.h"
#include "common/state/path_policy.h"
#include "mover/copy_run.h"
#include "mover/link_census.h"
#include "mover/relink.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNoRsync =
    "GNU rsync 3.x is required but not installed. Run `brew install rsync` in Terminal, then "
    "click Reload Probe on the Tier banner.";
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
  std::string text;             // the job's lastError
  bool driveMayBeGone = false;  // the copy could not be seen: maybe the drive went away
};

// Whether the clean-up of `m` may remove or relink its source. `checked`: this
// process has just verified the copy, so it is not compared again.
std::optional<CleanupRefusal> cleanupRefusal(const MoveManifest& m, const PathPolicy& policy,
                                             bool checked) {
  if (auto allowed = policy.check(m.src); !allowed)
    return CleanupRefusal{allowed.error().sentence()};
  struct stat st {};
  if (lstat(m.finalDst.c_str(), &st) != 0) {
    return CleanupRefusal{
        "The copy this move made is missing, so Brimvale removed and relinked nothing. Your "
        "original is safe and untouched; move it again to make a new copy." +
            std::string(kRawErrorMarker) + m.finalDst + ": " + std::strerror(errno),
        true};
  }
  // A source already gone needs no comparison: a plain move's removal had
  // finished, and the relink reports the missing source itself.
  if (checked || lstat(m.src.c_str(), &st) != 0) return std::nullopt;
  auto unmatched = unmatchedBeforeCleanup(m.src, m.finalDst, m.conflictPolicy);
  if (!unmatched) {
    return CleanupRefusal{"Verification walk failed (permission or read error). Source preserved." +
                              std::string(kRawErrorMarker) + unmatched.error().detail,
                          true};
  }
  if (!unmatched->empty()) return CleanupRefusal{differingFilesText(*unmatched)};
  return std::nullopt;
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

void MoverSettings::setMaxConcurrent(int value) {
  if (defaults_)
    (void)defaults_->setInt("brimvale.mover.maxConcurrent",
                            value <= 0 ? kDefaultMaxConcurrent : std::clamp(value, 1, 16));
}

VerificationLevel MoverSettings::verificationLevel() const {
  auto v = defaults_ ? defaults_->getString("brimvale.mover.verificationLevel") : std::nullopt;
  return verificationLevelFromRaw(v.value_or("fast"));
}

void MoverSettings::setVerificationLevel(VerificationLevel level) {
  if (defaults_)
    (void)defaults_->setString("brimvale.mover.verificationLevel", verificationLevelRaw(level));
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

std::string userFacingFailure(const std::string& lastError, std::string_view src) {
  const std::string name = quotedName(src);
  // Only the sentence picks the text: the technical detail after it holds the
  // copy tool's lines and file names, whose words mean nothing here.
  const std::string sentence = lastError.substr(0, lastError.find(kRawErrorMarker));
  const std::string l = asciiLower(sentence);
  auto has = [&](std::string_view w) { return l.find(w) != std::string::npos; };
  // Already says what happened, that the data is safe and what to do; a full
  // drive is no unavailable drive, and a refused path names its own reason.
  if (has("the drive is full") || sentence.ends_with("Nothing was changed.")) return sentence;
  if (has("sanity") || has("size check") || has("differ") || has("hash") || has("verif")) {
    return "The copy of " + name +
           " didn't match the original closely enough to be sure it's complete, so the move was "
           "stopped before touching your original. Your data is safe — try again, and if it keeps "
           "happening the source may be changing while it's being copied.";
  }
  if (has("disconnect") || has("drive")) {
    return "The drive became unavailable while moving " + name +
           ". Your original is safe — reconnect the drive and try again.";
  }
  if (has("cleanup") || has("removing source")) {
    return name +
           " was copied successfully, but the original couldn't be removed afterwards, so "
           "it's still using space. Your data is safe.";
  }
  if (!sentence.empty() && !has("rsync") && !has("exit") && !has("code ")) return sentence;
  return "Brimvale couldn't finish moving " + name + ". Your original is safe and untouched.";
}

bool isSavePoint(double fraction) {
  const auto percent = static_cast<int>(fraction * 100.0);
  return percent % 5 == 0;
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

void LocalFolderMover::save(const MoveManifest& m) {
  if (!env_.owner) return store_.save(m);
  MoveManifest stamped = m;
  stamped.owner = isTerminal(m.phase) ? std::nullopt : env_.owner;
  if (MoveManifest* kept = find(m.id)) kept->owner = stamped.owner;
  store_.save(stamped);
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
  auto text = readFile(env_.paths.state / "transfer-job.json");
  if (!text) return false;
  auto j = nlohmann::json::parse(*text, nullptr, false);
  if (!j.is_object() || !j.contains("phase") || !j["phase"].is_string()) return false;
  static constexpr std::string_view kBusy[] = {
      "preflighting", "copying", "verifying", "copied", "switching", "paused", "waitingForDrive"};
  const std::string phase = j["phase"].get<std::string>();
  return std::find(std::begin(kBusy), std::end(kBusy), phase) != std::end(kBusy);
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

  auto addTerminal = [&](MovePhase phase, std::optional<std::string> error,
                         PhaseEffects effects = PhaseEffects::kAll) {
    m.phase = phase;
    m.lastError = std::move(error);
    if (phase == MovePhase::kDone) {
      m.completedAt = m.updatedAt;
      m.fractionAtLastWrite = 1.0;
    }
    save(m);
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
    return addTerminal(MovePhase::kFailed, std::string(kHeld));
  }
  if (!env_.rsync) return addTerminal(MovePhase::kFailed, std::string(kNoRsync));

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
  save(m);
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

std::expected<std::string, std::string> LocalFolderMover::claimTarget(const std::string& src,
                                                                      const std::string& dstParent,
                                                                      const MoveTarget& target) {
  const std::string name = target.name.empty() ? lastComponent(src) : target.name;
  const fs::path mount = mountPath();
  const fs::path parent(dstParent);
  // An unplugged drive leaves an empty folder at its mount path; creating
  // the target there would put the copy on the internal disk.
  if ((parent == mount || isStrictlyInside(parent, mount)) && !mounted(mount)) {
    return std::unexpected("The drive isn't connected at " + mount.string() +
                           ", so there is nowhere to copy " + quotedName(src) +
                           " to. Nothing was copied; your original is untouched.");
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
      return std::unexpected(allowed.error().sentence());
    if (n == 0) {
      std::error_code ec;
      fs::create_directories(parent, ec);
    }
    const std::error_code made =
        createExclusively(candidate, singleFile ? ClaimKind::kFile : ClaimKind::kFolder);
    if (!made) return candidate;
    const int err = made.value();
    if (err == EEXIST && target.rule == MoveTarget::Rule::kClaimExact) {
      return std::unexpected("Something already exists at the original source path " + candidate +
                             ". Move or delete it before reverting.");
    }
    if (err != EEXIST) {
      return std::unexpected("Couldn't create " + candidate + " to hold the copy (" +
                             std::strerror(err) +
                             "). Nothing was copied; your original is untouched.");
    }
  }
  return std::unexpected("Every name for the copy of " + quotedName(src) + " in " + dstParent +
                         " is taken. Nothing was copied; your original is untouched.");
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
                                  std::optional<std::string> lastError,
                                  std::optional<std::string> statusMessage) {
  changePhase(id, phase, std::move(lastError), std::move(statusMessage), PhaseEffects::kAll);
}

void LocalFolderMover::changePhase(const std::string& id, MovePhase phase,
                                   std::optional<std::string> lastError,
                                   std::optional<std::string> statusMessage, PhaseEffects effects) {
  MoveManifest* m = find(id);
  if (!m) return;
  const MovePhase old = m->phase;
  if (phase != MovePhase::kVerifying)
    measuredSizes_.erase(id);  // only the size check right after may use them
  m->phase = phase;
  m->lastError = lastError;
  m->statusMessage = statusMessage;
  m->updatedAt = env_.clock();
  if (phase == MovePhase::kDone) {
    m->completedAt = m->updatedAt;
    m->fractionAtLastWrite = 1.0;
  }
  publish(*m);
  save(*m);
  stopPoint("mover:" + std::string(phaseRaw(phase)));
  if (old == phase) return;
  std::string line = std::string(phaseRaw(old)) + " → " + std::string(phaseRaw(phase));
  if (statusMessage) line += " · " + *statusMessage;
  if (lastError) line += " · ERROR: " + *lastError;
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
  (void)env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kFailed,
                               *m.lastError);
  (void)env_.ledger->recordIssue(transfers::JobKind::kFileMoves, lastComponent(m.src),
                                 *m.lastError);
}

void LocalFolderMover::enteredDone(const MoveManifest& m) {
  if (m.srcSizeKB <= 0) {
    if (m.triggerSource == MoveTriggerSource::kUserMove && env_.ledger) {
      (void)env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kOk,
                                   "Moved " + quotedName(m.src) + " to your fast drive.", 1, 0);
    }
    return;
  }
  const std::int64_t bytes = m.srcSizeKB * 1024;
  if (env_.events) {
    const bool back = isStrictlyInside(m.src, mountPath());
    (void)env_.events->append(
        {env_.clock(),
         m.triggerSource == MoveTriggerSource::kAutoSync ? transfers::TransferService::kAutoSync
                                                         : transfers::TransferService::kTier,
         back ? transfers::TransferDirection::kIn : transfers::TransferDirection::kOut, bytes});
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
    (void)env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kOk,
                                 "Moved " + quotedName(m.src) + " to your fast drive.", 1, bytes);
  }
}

void LocalFolderMover::enteredFailed(const MoveManifest& m, MovePhase previous) {
  if (m.triggerSource != MoveTriggerSource::kUserMove) return;
  const std::string text = userFacingFailure(m.lastError.value_or(""), m.src);
  if (env_.ledger) {
    (void)env_.ledger->recordRun(transfers::JobKind::kFileMoves, transfers::JobOutcome::kFailed,
                                 text);
    (void)env_.ledger->recordIssue(transfers::JobKind::kFileMoves, lastComponent(m.src), text);
  }
  // Only a destination this process copied into is this move's partial copy;
  // one named by a record read from disk may hold anything.
  const bool copiedHere = copiedHere_.erase(m.id) > 0;
  checkedHere_.erase(m.id);
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
    (void)runTool("/bin/rm", {"-rf", dst}, std::chrono::hours(1));  // judged by what is left
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
  const bool driveMounted = mounted(mount);
  // Only a move asked for in this process may wipe what is at its target: a
  // record read from disk could name another move's only copy.
  const bool mayWipe = enqueuedHere_.contains(id);
  struct Prep {
    std::optional<std::pair<MovePhase, std::string>> stop;
    bool wiped = false;
    std::optional<std::string> refusedWipe;  // the reason
    CopyShape shape = CopyShape::kFolderContents;
  };
  env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
    Prep prep;
    auto current = currentDriveUUID(paths, computer);
    std::error_code ec;
    if (snapshot.driveUUID && current && *current != *snapshot.driveUUID) {
      prep.stop = {MovePhase::kFailed, "Destination drive UUID mismatch (" + *snapshot.driveUUID +
                                           " vs " + *current +
                                           "). Refusing to write into a different drive."};
    } else if (!driveMounted || !fs::exists(mount, ec)) {
      prep.stop = {MovePhase::kWaitingForDrive, "NVMe drive not mounted."};
    } else if (fs::create_directories(snapshot.dstParent, ec); ec) {
      if (!fs::exists(mount)) {
        prep.stop = {MovePhase::kWaitingForDrive,
                     "NVMe drive disconnected while preparing destination."};
      } else {
        prep.stop = {MovePhase::kFailed, "Could not create destination parent " +
                                             snapshot.dstParent + ": " + ec.message()};
      }
    } else if (!fs::is_directory(snapshot.dstParent, ec)) {
      prep.stop = {MovePhase::kFailed,
                   "Destination parent " + snapshot.dstParent +
                       " doesn't exist after createDirectory succeeded — refusing to spawn rsync."};
    } else if (snapshot.conflictPolicy == MoveConflictPolicy::kOverride &&
               fs::exists(fs::symlink_status(snapshot.finalDst, ec))) {
      prep.refusedWipe =
          mayWipe ? wipeRefusal(snapshot.finalDst, WorkingFolderRule::kRequired, home, working)
                  : std::optional<std::string>(
                        "The move was started by an earlier run of Brimvale, so what is at " +
                        snapshot.finalDst + " may not be its own; it was left as it is.");
      if (prep.refusedWipe) {
        prep.stop = {MovePhase::kFailed,
                     "Couldn't prepare the destination safely, so nothing was changed. Your "
                     "original is untouched."};
      } else {
        prep.wiped = true;
        (void)runTool("/bin/rm", {"-rf", snapshot.finalDst}, std::chrono::hours(1));
      }
    }
    // A file is copied as a file: with the slashes of a folder's contents the
    // copy tool would fail and leave an empty folder behind.
    struct stat st {};
    if (lstat(snapshot.src.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      prep.shape = CopyShape::kSingleFile;
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
      launchRsync(id, prep.shape);
    };
  });
}

void LocalFolderMover::launchRsync(const std::string& id, CopyShape shape) {
  MoveManifest* m = find(id);
  if (!m || !env_.rsync) return;
  const auto args = env_.rsync->arguments(m->conflictPolicy, m->src, m->finalDst, shape);
  copyErrors_.erase(id);
  copiedHere_.insert(id);
  log_.append(MoverLogSource::kCommand, commandLineText(env_.rsync->executablePath, args), id);
  auto handle = std::make_shared<CopyHandle>();
  processes_[id] = handle;
  auto alive = alive_;
  startCopyRun(
      env_.rsync->executablePath, args,
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
                 transition(id, MovePhase::kFailed, "Failed to start rsync: " + launchError);
               }
               pump();
               return;
             }
             copyFinished(id, code);
           }});
}

void LocalFolderMover::handleCopyOutput(const std::string& id, const std::vector<CopyLine>& lines) {
  // Only the newest progress line of a batch matters; the manifest is saved
  // once if any of them was a save point.
  std::optional<RsyncProgressInfo> latest;
  bool savePoint = false;
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
      savePoint = savePoint || isSavePoint(p->fraction);
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
    if (exitCode == 0) {
      transition(id, MovePhase::kHashing, std::nullopt, std::string(kHashingStatus));
      stopPoint("mover:copied");
    } else if (!destinationReachable(*m)) {
      transition(id, MovePhase::kWaitingForDrive,
                 "Destination drive disconnected during copy. Will resume on reconnect.");
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
      if (compared) {
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

// A passed verification is remembered in this process only: a clean-up
// continued from a record on disk compares the trees again before it touches
// the source.
void LocalFolderMover::recordVerification(const std::string& id,
                                          const VerificationOutcome& outcome) {
  const VerificationReport report = renderVerification(outcome);
  for (const std::string& line : report.logLines) log_.append(MoverLogSource::kHashing, line, id);
  transition(id, report.next, report.lastError, report.statusMessage);
  if (report.checked) checkedHere_.insert(id);
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
                   "Destination drive disappeared during verification. Will resume on reconnect.");
      } else if (!check.passed) {
        transition(id, MovePhase::kFailed, check.failureText());
      } else if (snap.conflictPolicy == MoveConflictPolicy::kOverride && snap.srcContentHash &&
                 snap.dstContentHash && *snap.srcContentHash != *snap.dstContentHash) {
        transition(id, MovePhase::kFailed,
                   "Content hash mismatch — destination doesn't match source byte-for-byte. Source "
                   "preserved. "
                   "Hashes: src=" +
                       snap.srcContentHash->substr(0, 12) +
                       " dst=" + snap.dstContentHash->substr(0, 12));
      } else {
        transition(id, MovePhase::kCleaningUp);
        stopPoint("mover:verified");
      }
      advance(id);
    };
  });
}

void LocalFolderMover::startCleanup(const std::string& id) {
  MoveManifest* m = find(id);
  if (!m) return;
  const std::uint64_t token = beginTask(Task::kCleanup, id);
  const MoveManifest snap = *m;
  auto alive = alive_;
  // A record read from disk may name anything, so before the source is
  // removed or relinked: it must be a path Brimvale may touch, its copy must
  // exist and, unless this process has just verified that copy, still match.
  const bool checked = checkedHere_.erase(id) > 0;
  copiedHere_.erase(id);
  if (!checked) {
    log_.append(MoverLogSource::kCleanup,
                "checking the copy " + snap.finalDst + " again before clean-up", id);
  }
  const PathPolicy policy = pathPolicy();
  // Logs from the clean-up's thread, in order with its result.
  auto logLater = [post = env_.post, alive, id, this](MoverLogSource source, std::string text) {
    post([=, this] {
      if (alive->load()) log_.append(source, text, id);
    });
  };
  auto refused = [=, this](const CleanupRefusal& refusal) {
    log_.append(MoverLogSource::kCleanup, "REFUSED clean-up of " + snap.src + ": " + refusal.text,
                id);
    if (refusal.driveMayBeGone && !destinationReachable(snap)) {
      transition(id, MovePhase::kWaitingForDrive,
                 "Destination drive disappeared before clean-up. Will resume on reconnect.");
    } else {
      transition(id, MovePhase::kFailed, refusal.text);
    }
    pump();
  };
  if (snap.replaceSourceWithSymlink) {
    FileOperations* files = env_.files;
    const fs::path diagnosticsFile = env_.paths.diagnosticsLog;
    linkedCounts_.erase(id);
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
      std::optional<CleanupRefusal> refusal = cleanupRefusal(snap, policy, checked);
      std::optional<WalkResult> walked;
      if (!refusal) {
        logLater(MoverLogSource::kCleanup, "relocate cleanup: walking " + snap.src +
                                               " to replace files with symlinks → " +
                                               snap.finalDst);
        const DiagnosticsLog diagnostics(diagnosticsFile);
        walked = relinkTree(snap.src, snap.finalDst, {*files, diagnostics, linking});
      }
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
                        std::to_string(r.errors) + " error(s)",
                    id);
        if (!r.firstError) {
          transition(id, MovePhase::kDone);
        } else {
          transition(
              id, MovePhase::kFailed,
              "Relocate cleanup partial: " + *r.firstError + ". Destination is valid at " +
                  snap.finalDst +
                  "; some source files may not have been symlinked. Re-run Relocate to retry, or "
                  "inspect the source tree manually.");
        }
        pump();
      };
    });
    return;
  }
  env_.scheduler->runInBackground([=, this]() -> std::function<void()> {
    std::optional<CleanupRefusal> refusal = cleanupRefusal(snap, policy, checked);
    int code = -1;
    if (!refusal) {
      logLater(MoverLogSource::kCommand, commandLineText("/bin/rm", {"-rf", snap.src}));
      ProcessResult r = runTool("/bin/rm", {"-rf", snap.src}, std::chrono::hours(6));
      code = r.outcome == ProcessOutcome::kExited ? r.exitCode : -1;
      stopPoint("mover:removed");
    }
    return [=, this] {
      if (!alive->load() || !endTask(Task::kCleanup, id, token, MovePhase::kCleaningUp)) return;
      if (refusal) return refused(*refusal);
      log_.append(MoverLogSource::kCleanup, "rm exit " + std::to_string(code) + " for " + snap.src,
                  id);
      if (code == 0) {
        transition(id, MovePhase::kDone);
      } else {
        transition(id, MovePhase::kFailed,
                   "Cleanup of source failed (exit " + std::to_string(code) +
                       "). Destination is valid; source still occupies disk space.");
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
    transition(id, MovePhase::kCancelled, std::string(kCancelledByUser));
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
      (void)runTool("/bin/rm", {"-rf", path}, std::chrono::hours(1));  // judged by what is left
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
  // overwrite that move's only copy, file by file.
  if (m.phase == MovePhase::kWriting || m.phase == MovePhase::kCopying ||
      m.phase == MovePhase::kWaitingForDrive) {
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
      changePhase(id, MovePhase::kFailed, *refusal, std::nullopt, PhaseEffects::kRecordOnly);
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
                   "Destination drive's volume UUID doesn't match the manifest (started against " +
                       *j->driveUUID + ", currently mounted " + current.value_or("unknown") +
                       "). Refusing to resume.");
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
  transition(id, MovePhase::kCleaningUp, std::nullopt,
             "Finishing the links to the copy on the drive…");
  pump();
  return true;
}

void LocalFolderMover::runMigrations() {
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
    (void)touchFile(markers / "prune-autosync-failures-v1.done");
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
      (void)env_.ledger->recordRun(
          transfers::JobKind::kFileMoves, transfers::JobOutcome::kFailed,
          "Some earlier moves didn't finish — open an item below for the details.",
          static_cast<std::int64_t>(failed.size()));
      for (const auto* j : failed) {
        (void)env_.ledger->recordIssue(transfers::JobKind::kFileMoves, lastComponent(j->src),
                                       userFacingFailure(j->lastError.value_or(""), j->src));
      }
    }
    (void)touchFile(markers / "jobinsights-backfill-v1.done");
  }
}

}  // namespace brimvale::mover
