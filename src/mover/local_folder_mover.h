// The folder mover: copies a folder with GNU rsync, verifies the copy, then
// replaces the source with links (a relocation) or removes it (a move), one
// durable manifest per job so that a crash or an unplugged drive loses nothing.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/timestamps.h"
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
  void setMaxConcurrent(int value);
  [[nodiscard]] VerificationLevel verificationLevel() const;
  void setVerificationLevel(VerificationLevel level);
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
[[nodiscard]] std::optional<std::string> wipeRefusal(const std::string& path, WorkingFolderRule rule,
                                                     const std::filesystem::path& home,
                                                     const std::filesystem::path& workingFolder);

// The plain-words failure shown to the user for a technical `lastError`.
[[nodiscard]] std::string userFacingFailure(const std::string& lastError, std::string_view src);
// True when a progress fraction falls on a whole multiple of 5 % (manifest save points).
[[nodiscard]] bool isSavePoint(double fraction);

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
};

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
  std::optional<std::string> enqueue(const std::string& src, const std::string& dstParent,
                                     MoveConflictPolicy policy, bool replaceSourceWithSymlink,
                                     MoveTriggerSource trigger,
                                     std::optional<std::int64_t> measuredSizeKB = std::nullopt);
  void cancel(const std::string& id);
  // The refusal message, or nothing once the reverse move is queued.
  std::optional<std::string> revert(const std::string& id);
  void setPaused(bool paused);
  void reload();
  void pump();

  [[nodiscard]] const std::vector<MoveManifest>& jobs() const { return jobs_; }
  [[nodiscard]] const MoveManifest* job(const std::string& id) const;
  [[nodiscard]] std::optional<RsyncProgressInfo> progress(const std::string& id) const;
  [[nodiscard]] std::string currentFile(const std::string& id) const;
  [[nodiscard]] std::size_t activeCount() const;
  [[nodiscard]] bool isActive(const std::string& id) const;
  // No job is active and none waits for a slot or a step.
  [[nodiscard]] bool idle() const;
  [[nodiscard]] ManifestStore& store() { return store_; }
  [[nodiscard]] std::filesystem::path mountPath() const;
  [[nodiscard]] std::filesystem::path workingFolder() const;

  // Phase changes go through here (see the manifest's lifecycle).
  void transition(const std::string& id, MovePhase phase, std::optional<std::string> lastError = {},
                  std::optional<std::string> statusMessage = {});

 private:
  struct CopyHandle {
    std::atomic<int> pid{0};
  };
  struct CopyLine {
    bool isErr = false;
    std::string text;
  };
  // Copy-tool output handed from the reading thread to the loop thread.
  struct CopyOutput {
    std::mutex mutex;
    std::vector<CopyLine> lines;
    bool drainQueued = false;
  };
  enum class Task { kPrep, kHashing, kVerify, kCleanup };

  MoveManifest* find(const std::string& id);
  std::uint64_t beginTask(Task task, const std::string& id);
  // True (and the task forgotten) when the result may still be applied.
  bool endTask(Task task, const std::string& id, std::uint64_t token, MovePhase expected);
  bool hasActiveTask(const std::string& id) const;
  void save(const MoveManifest& m);
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
  void launchRsync(const std::string& id, CopyShape shape);
  void handleCopyOutput(const std::string& id, const std::vector<CopyLine>& lines);
  void copyFinished(const std::string& id, int exitCode);
  void startVerification(const std::string& id);
  void startSizeCheck(const std::string& id);
  void startCleanup(const std::string& id);
  void enteredDone(const MoveManifest& m);
  void enteredFailed(const MoveManifest& m, MovePhase previous);
  void runMigrations();

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
  // Sizes the fast verification measured, kept for the size check after it.
  struct MeasuredSizes {
    std::int64_t liveKB = 0, dstKB = 0;
  };
  std::map<std::string, MeasuredSizes> measuredSizes_;
  // The copy tool's error lines of each copy: the real cause of a failure.
  std::map<std::string, std::vector<std::string>> copyErrors_;
  // Jobs whose copy this process started: only their partial destination
  // may be removed after a failure.
  std::set<std::string> copiedHere_;
  // Jobs whose copy this process compared with the source (or whose user
  // turned verification off); a record that reaches the clean-up any other
  // way (read from disk in a later phase) has its copy compared again.
  std::set<std::string> checkedHere_;
  std::uint64_t nextToken_ = 1;
  // Shared with background work so results arriving after destruction are dropped.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace brimvale::mover
