// The folder mover: copies a folder with GNU rsync, verifies the copy, then
// replaces the source with links (a relocation) or removes it (a move), one
// durable manifest per job so that a crash or an unplugged drive loses nothing.
#pragma once
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/mount_anchor.h"
#include "common/base/timestamps.h"
#include "common/state/path_policy.h"
#include "common/state/paths.h"
#include "mover/copy_run.h"
#include "mover/manifest.h"
#include "mover/mover_log.h"
#include "mover/rsync_support.h"
#include "mover/verification.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"
#include "transfers/background_jobs.h"
#include "transfers/transfer_events.h"

namespace brimvale::mover {

// The mover's user-default keys, read on every use.
class MoverSettings {
 public:
  static constexpr int kDefaultMaxConcurrent = 5;
  static constexpr int kDefaultWindowHours = 12;
  explicit MoverSettings(platform::UserDefaults* defaults) : defaults_(defaults) {}
  // A stored value <= 0 means 5; otherwise 1...16.
  [[nodiscard]] int maxConcurrent() const;
  [[nodiscard]] VerificationLevel verificationLevel() const;
  [[nodiscard]] bool recentWriteGuardEnabled() const;
  // A stored value <= 0 means 12; at most 168.
  [[nodiscard]] int recentWriteWindowHours() const;

 private:
  platform::UserDefaults* defaults_;
};

// isSafeToWipe: false for relative paths, "..", the system folders, /Users,
// the home folder and, with kRequired, anything outside `workingFolder`; and
// false for whatever the path policy (roots from `home` and `workingFolder`)
// refuses, such as a path reached through a link that leads elsewhere.
enum class WorkingFolderRule { kRequired, kNotRequired };
[[nodiscard]] bool isSafeToWipe(const std::string& path, WorkingFolderRule rule,
                                const std::filesystem::path& home,
                                const std::filesystem::path& workingFolder);
// Why isSafeToWipe refuses `path`, as one sentence for the log; nothing when it is safe.
[[nodiscard]] std::optional<std::string> wipeRefusal(const std::string& path,
                                                     WorkingFolderRule rule,
                                                     const std::filesystem::path& home,
                                                     const std::filesystem::path& workingFolder);

// How many times a move copies what was written in the folder while it ran,
// before it stops and leaves those files where they are.
inline constexpr int kCopyRounds = 3;

// What the user reads about the failure of `m`, chosen by its kind.
[[nodiscard]] std::string userFacingFailure(const MoveManifest& m);
// True when progress went from `from` into another 5 % step (manifest save
// points): once per step, not on every batch of output within it.
[[nodiscard]] bool passesSavePoint(double from, double to);

// Where a move's copy goes.
// Entries of one tree hashed so far, for the progress a user sees.
struct HashedCount {
  enum class Side { kSource, kDestination };
  Side side = Side::kSource;
  std::size_t done = 0;
  std::size_t total = 0;
};

// Files of a relocation's source that have become links to their copies so far.
struct LinkedCount {
  std::size_t done = 0;
  std::size_t total = 0;
};

struct MoveTarget {
  enum class Rule {
    // {dstParent}/{name}, chosen on purpose: the conflict policy decides what
    // happens to whatever is there already.
    kAsNamed,
    // A folder no other move has: {name}, else {name}.1, {name}.2, ...,
    // created here (mkdir, or an exclusive create for a single file), so two
    // folders of the same name never share a copy.
    kClaimFresh,
    // Exactly {dstParent}/{name}, created here; the move fails when something
    // is there already (a move back onto the original path).
    kClaimExact,
  };
  Rule rule = Rule::kAsNamed;
  std::string name;  // empty: the last path component of the source
};

struct MoverEnvironment {
  StatePaths paths;
  std::string computerName;
  platform::Scheduler* scheduler = nullptr;
  // Queues a task for the loop thread from any thread.
  std::function<void(std::function<void()>)> post;
  platform::UserDefaults* defaults = nullptr;
  transfers::BackgroundJobsStore* ledger = nullptr;
  transfers::TransferEventStore* events = nullptr;
  SystemLog systemLog;
  WallClock clock = systemClock();
  std::optional<RsyncSupport> rsync;  // nothing: no usable GNU rsync
  ProcessRunner run;                  // how the copies and the clean-ups run
  // Overrides the stored level for this process (e.g. `--verify`).
  std::optional<VerificationLevel> verificationOverride;
  // Whether a volume is mounted on a path; by default, whether the path exists.
  // Lets a folder left behind by an unplugged drive count as "gone".
  std::function<bool(const std::filesystem::path&)> isMounted;
  // Gives freed space back by thinning local snapshots after a relocation
  // from the internal disk; runs on a worker thread. The detail text of the
  // result is logged; a failure never fails the move. Empty: no thinning.
  std::function<Result<std::string>(std::int64_t bytes)> thinSnapshots;
  // Called on the loop thread after every published change of a job.
  std::function<void(const MoveManifest&)> onChange;
  // Roots outside the home folder the user named on purpose; a recorded move
  // whose source lies outside the home folder and these is not resumed.
  std::vector<std::filesystem::path> extraRoots;
  // What the clean-up changes the disk through; tests inject failures here.
  FileOperations* files = &FileOperations::real();
  // This process, named in every unfinished record it runs, so that another
  // process can find it to ask it to stop. Nothing: records name no owner.
  std::optional<MoveOwner> owner;
};

// Why a job in `cleaningUp` is not stopped: half its files would be links.
[[nodiscard]] std::string finishingNotStopped(const MoveManifest& m);

// Loop-thread only, except where noted.
class LocalFolderMover {
 public:
  LocalFolderMover(MoverEnvironment env, MoverLog& log);
  ~LocalFolderMover();
  LocalFolderMover(const LocalFolderMover&) = delete;
  LocalFolderMover& operator=(const LocalFolderMover&) = delete;

  // Returns the new job's id, or nothing when the move was dropped (an
  // auto-sync move during a drive transfer).
  // `measuredSizeKB`: the source's size as apparentSizeKB gives it, when the
  // caller has just measured it; otherwise it is measured in the background.
  // A target that cannot be claimed gives a job in `failed` that says why.
  std::optional<std::string> enqueue(const std::string& src, const std::string& dstParent,
                                     MoveConflictPolicy policy, bool replaceSourceWithSymlink,
                                     MoveTriggerSource trigger,
                                     std::optional<std::int64_t> measuredSizeKB = std::nullopt,
                                     MoveTarget target = {});
  // Stops a job and records it `cancelled`. A copy that this process claimed
  // is removed once its copy process has ended. A job in `cleaningUp` is not
  // stopped half-way (half its files would be links): the refusal is returned.
  std::optional<std::string> cancel(const std::string& id);
  // The refusal message, or nothing once the reverse move is queued.
  std::optional<std::string> revert(const std::string& id);
  // Queues the plain move of a finished move's copy back into the parent of
  // its original path, under the original name: the move back of a
  // relocation and of a revert. Refused (the sentence) across a drive swap or
  // for a copy outside what a move back may take; once the move has verified
  // what it brought back, its clean-up removes the copy. The new job's id.
  std::expected<std::string, std::string> moveCopyBack(const MoveManifest& finished,
                                                       MoveConflictPolicy policy,
                                                       MoveTarget::Rule rule);
  void setPaused(bool paused);
  // See MoverEnvironment::owner; takes effect at the next save or reload.
  void setOwner(std::optional<MoveOwner> owner) { env_.owner = std::move(owner); }
  // Reads the manifests again; a job this process runs no step of takes the
  // state on disk (another process may have moved it on). A recorded move
  // whose paths the move scope refuses is failed instead of resumed.
  void reload();
  // A relocation that failed during its clean-up, with some files already
  // links to the copy, goes back to `cleaningUp`, whose walk skips what is
  // done. False (nothing changed) for any other job.
  bool finishPartialRelocation(const std::string& id);
  // Why a recorded move must not be resumed (its paths leave what a move may
  // touch), or nothing.
  [[nodiscard]] std::optional<std::string> resumeRefusal(const MoveManifest& m) const;
  void pump();

  [[nodiscard]] const std::vector<MoveManifest>& jobs() const { return jobs_; }
  [[nodiscard]] const MoveManifest* job(const std::string& id) const;
  [[nodiscard]] std::optional<RsyncProgressInfo> progress(const std::string& id) const;
  [[nodiscard]] std::string currentFile(const std::string& id) const;
  // How far the whole-tree hash of a thorough verification has come: which
  // side and how many of its entries are done. Nothing outside that pass.
  [[nodiscard]] std::optional<HashedCount> hashedCount(const std::string& id) const;
  // How far the clean-up of a relocation has come in replacing the source's
  // files with links. Nothing outside that walk.
  [[nodiscard]] std::optional<LinkedCount> linkedCount(const std::string& id) const;
  // The relocation `id` was finished by this process on its link walk's own
  // look at each folder right after its files became links: every plain file
  // had become a link to its verified copy, no link led to a missing copy and
  // every folder could be read. A caller about to report the move may take
  // that for a walk of its own.
  [[nodiscard]] bool finishedOnLinkedCheck(const std::string& id) const {
    return finishedOnLinkedCheck_.contains(id);
  }
  [[nodiscard]] std::size_t activeCount() const;
  [[nodiscard]] bool isActive(const std::string& id) const;
  // No job is active, none waits for a slot or a step, no partial copy of a
  // cancelled job is still being removed and no snapshot thinning after a
  // finished move is still running (its result is still to be logged).
  [[nodiscard]] bool idle() const;
  [[nodiscard]] ManifestStore& store() { return store_; }
  // A usable GNU rsync was found: without one nothing can be copied.
  [[nodiscard]] bool hasGnuRsync() const { return env_.rsync.has_value(); }
  // The configured drive, read afresh each time; both are empty while the
  // configuration names no drive or cannot be read, and nothing is then
  // copied to or from a drive.
  [[nodiscard]] std::filesystem::path mountPath() const;
  [[nodiscard]] std::filesystem::path workingFolder() const;
  // What this mover may move or delete: the home folder, the working folder,
  // the quarantine and the roots the user allowed for this run.
  [[nodiscard]] PathPolicy pathPolicy() const;

  // Phase changes go through here (see the manifest's lifecycle).
  void transition(const std::string& id, MovePhase phase, std::optional<MoveError> lastError = {},
                  std::optional<std::string> statusMessage = {});

 private:
  struct CopyHandle {
    std::atomic<int> pid{0};
  };
  enum class Task { kPrep, kHashing, kVerify, kCleanup };

  MoveManifest* find(const std::string& id);
  std::uint64_t beginTask(Task task, const std::string& id);
  // True (and the task forgotten) when the result may still be applied.
  bool endTask(Task task, const std::string& id, std::uint64_t token, MovePhase expected);
  bool hasActiveTask(const std::string& id) const;
  // Writes the record; false (and logged) when it is not on disk as given.
  bool save(const MoveManifest& m);
  // The sentence that ends a move whose record could not be written.
  MoveError recordNotWritten(const MoveManifest& m) const;
  void publish(const MoveManifest& m);
  VerificationLevel level() const;
  bool driveTransferRunning() const;
  bool exists(const std::string& path) const;
  // dstParent exists and, when it lies on the drive, the drive is mounted.
  bool destinationReachable(const MoveManifest& m) const;
  bool mounted(const std::filesystem::path& mount) const;

  // Runs the step of the job's phase when it has none running, so a job
  // keeps its slot from one step to the next; then fills free slots.
  void advance(const std::string& id);
  void startCopy(const std::string& id);
  // `sourceHasLinks`: the source holds links into the copy (an earlier round's).
  void launchRsync(const std::string& id, CopyShape shape, bool sourceHasLinks, bool incomingReady);
  void handleCopyOutput(const std::string& id, const std::vector<CopyLine>& lines);
  void copyFinished(const std::string& id, int exitCode);
  void startVerification(const std::string& id);
  // Logs and records what a verification concluded.
  void recordVerification(const std::string& id, const VerificationOutcome& outcome);
  void startSizeCheck(const std::string& id);
  void startCleanup(const std::string& id);
  // The move's destination lies on the drive: its writes must land there.
  bool writesToDrive(const MoveManifest& m) const;
  // The copy comes home from the drive.
  bool comesHome(const MoveManifest& m) const;
  // Whether `inside` is on the drive the job began its work on (its anchor,
  // or where the environment decides mounts itself, whether it exists).
  bool onJobsDrive(const std::optional<MountAnchor>& anchor,
                   const std::filesystem::path& inside) const;
  // Files were written during the move: copies them again, or stops the move
  // once it has copied kCopyRounds times, naming them.
  void copyAgainOrStop(const std::string& id, const std::vector<std::string>& changed);
  // The clean-up's post-condition held: records the move done.
  void finishMove(const std::string& id, std::optional<std::string> statusMessage = {});
  void enteredDone(const MoveManifest& m);
  void enteredFailed(const MoveManifest& m, MovePhase previous);
  void runMigrations();

  // kRecordOnly: entering `failed` writes the history entry but removes
  // nothing (for records refused as untrustworthy).
  enum class PhaseEffects { kAll, kRecordOnly };
  void changePhase(const std::string& id, MovePhase phase, std::optional<MoveError> lastError,
                   std::optional<std::string> statusMessage, PhaseEffects effects);
  // The history entry of a failure whose `lastError` is already a sentence for the user.
  void recordFailure(const MoveManifest& m);
  // Claims the target of a new move; the claimed path, or the sentence
  // saying why there is none.
  std::expected<std::string, MoveError> claimTarget(const std::string& src,
                                                    const std::string& dstParent,
                                                    const MoveTarget& target);
  // Removes the partial copies of cancelled jobs whose copy process has ended.
  void discardPartialCopies();

  MoverEnvironment env_;
  MoverLog& log_;
  MoverSettings settings_;
  ManifestStore store_;
  std::vector<MoveManifest> jobs_;
  bool isPaused_ = false;
  std::map<std::string, std::shared_ptr<CopyHandle>> processes_;
  std::map<Task, std::map<std::string, std::uint64_t>> tasks_;
  std::map<std::string, RsyncProgressInfo> rsyncStats_;
  std::map<std::string, std::string> rsyncCurrentFile_;
  std::map<std::string, HashedCount> hashedCounts_;
  std::map<std::string, LinkedCount> linkedCounts_;
  // Sizes the fast verification measured, kept for the size check after it.
  struct MeasuredSizes {
    std::int64_t liveKB = 0, dstKB = 0;
  };
  std::map<std::string, MeasuredSizes> measuredSizes_;
  // Plain files the fast verification counted: the relink's total right after.
  std::map<std::string, std::uint64_t> verifiedFiles_;
  // The copy tool's error lines of each copy: the real cause of a failure.
  std::map<std::string, std::vector<std::string>> copyErrors_;
  // Jobs whose copy this process started: only their partial destination
  // may be removed after a failure.
  std::set<std::string> copiedHere_;
  // See finishedOnLinkedCheck.
  std::set<std::string> finishedOnLinkedCheck_;
  // Jobs asked for in this process, as opposed to records read from disk.
  std::set<std::string> enqueuedHere_;
  // The drive each job's copy began on; nothing where no volume is mounted
  // at the mount path (and the environment decides mounts itself).
  std::map<std::string, std::optional<MountAnchor>> anchors_;
  // Relocations whose copy began with files of the source already links to
  // it: the copy skipped those links, and the guard checks each file before
  // the clean-up replaces it, so the whole-tree verification is not repeated.
  std::set<std::string> partlyLinked_;
  std::uint64_t nextToken_ = 1;
  // Targets this process claimed, by job id: the only copies a cancel removes.
  std::map<std::string, std::string> claimedTargets_;
  // Cancelled jobs whose partial copy is to be removed (false) or is being removed (true).
  std::map<std::string, bool> discards_;
  // Snapshot thinnings started after finished moves whose result is not yet logged.
  std::size_t thinningsRunning_ = 0;
  // Shared with background work so results arriving after destruction are dropped.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace brimvale::mover
