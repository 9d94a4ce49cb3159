// The app mover: a queue of moves run one at a time on the caller's thread,
// moves back, and the launch-time repair of moves a crash or a quit cut short.
// Finished jobs are announced to completion listeners.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/app_move_environment.h"
#include "apps/app_move_error.h"
#include "apps/nine_step_machine.h"
#include "common/base/mount_anchor.h"
#include "common/base/replace_guard.h"

namespace brimvale::apps {

// What a listener hears after every forward job and every move back.
struct EngineCompletion {
  enum class Kind { kMove, kRestore };
  Kind kind = Kind::kMove;
  std::string manifestID;
  bool success = false;
  std::optional<std::string> reason;  // the failure text
  // Move back only.
  std::optional<std::string> outcome;
  std::optional<std::string> internalVersion;
  std::optional<std::string> nvmeVersion;
  // The sentence the window shows.
  std::string sentence;
  // Versions kept under a `.kept-<UTC stamp>` name (or left where they were)
  // because they differ from the one that stays; the window lists them.
  std::vector<std::string> kept;
};
using CompletionListener = std::function<void(const EngineCompletion&)>;

// The names a completion is posted under, for listeners in other processes.
inline constexpr std::string_view kDidCompleteMove = "Brimvale.AppRelocatorEngineDidCompleteMove";
inline constexpr std::string_view kDidCompleteRestore =
    "Brimvale.AppRelocatorEngineDidCompleteRestore";

[[nodiscard]] std::string_view completionName(const EngineCompletion& completion);
// manifestID and success; reason on failure; a move back's outcome and versions when known.
[[nodiscard]] nlohmann::json completionUserInfo(const EngineCompletion& completion);

// "Moved “X” to your fast drive and kept it working."
[[nodiscard]] std::string movedSentence(const std::string& displayName);
// "Brought “X” back to your internal disk."
[[nodiscard]] std::string restoredSentence(const std::string& displayName);
// "Kept the copy of “X” that was reinstalled on your internal disk; it opens from there."
[[nodiscard]] std::string keptInternalSentence(const std::string& displayName);

// What the launch-time repair did to one record.
struct RecoveryReport {
  std::string manifestID;
  std::vector<std::string> actions;
};

// Where a move back had got to; state/app-move-backs/<id>.json, so a crash
// halfway leaves the app reachable and its staged copy known.
struct MoveBackJournal {
  std::string manifestID;
  std::string stagingPath;
  std::string stamp;
};

class AppRelocatorEngine {
 public:
  explicit AppRelocatorEngine(AppMoveEnvironment env);

  // Queues a move; refuses (logged, nothing queued) a second job for an
  // original path that is running or queued. Returns the job id when queued.
  std::optional<std::string> enqueue(const AppEntry& app,
                                     const std::filesystem::path& destinationRoot,
                                     const AppClassificationResult& classification,
                                     bool overrideAccepted);
  // Runs the next queued job to its end; false when the queue was empty.
  bool runNext();
  // Runs queued jobs until none is left.
  void drain();

  // Brings a committed relocation back to its original path: the drive copy
  // is copied home beside the link, swapped in, and removed once every file
  // compares equal. What stands at the original path stays: an app
  // reinstalled there while it lived on the drive is kept, and a drive copy
  // that differs from what stays is kept whole as `<name>.kept-<UTC stamp>`
  // on the drive (listed in `kept`). A foreign link or file there is refused.
  //
  // Safe to call without a terminal (the panic button does): it never reads
  // standard input, prints nothing, asks for no administrator and does not
  // wait for another move; progress goes to the copy observer, the outcome
  // to the return value and the completion listeners. Refuses at once, with
  // nothing changed, while another move holds the relocator lock.
  std::expected<EngineCompletion, EngineError> runMoveBack(const std::string& manifestID);

  // At launch: repairs every unfinished move and every move back a crash cut short.
  std::vector<RecoveryReport> recoverPendingManifests();
  // At launch, once per account: deletes originals still parked for committed
  // moves, each only where it matches its copy on the drive.
  void reclaimCommittedQuarantines();

  void addCompletionListener(CompletionListener listener);
  // Told of the running copy's progress.
  void setCopyObserver(platform::BundleCopyObserver observer);

  // Published state, for the window.
  [[nodiscard]] const std::deque<EngineJob>& queue() const { return queue_; }
  [[nodiscard]] const std::optional<std::string>& statusLine() const { return statusLine_; }

 private:
  std::expected<void, EngineError> runJob(const EngineJob& job, std::vector<std::string>& kept);
  // Why a move the machine finished does not hold now (empty: it holds): the
  // record reads back committed and the app path links to the copy.
  [[nodiscard]] std::string notHolding(const EngineJob& job,
                                       const std::vector<std::string>& kept) const;
  void announce(const EngineCompletion& completion);
  // Records a move back's outcome, forgets its progress file and announces it.
  std::expected<EngineCompletion, EngineError> finishMoveBack(AppMoveManifest& manifest,
                                                              EngineCompletion completion,
                                                              std::string outcome,
                                                              std::string sentence);
  RecoveryReport recoverForwardMove(AppMoveManifest manifest);
  void recoverMoveBack(const MoveBackJournal& journal);
  bool underApplicationRoot(const std::string& originalPath) const;
  std::optional<std::filesystem::path> findQuarantine(const AppMoveManifest& manifest) const;
  std::string restoreStamp() const;
  std::filesystem::path journalFile(const std::string& manifestID) const;
  // False (logged) when it could not be written.
  bool writeJournal(const MoveBackJournal& journal) const;
  void restoreLink(const AppMoveManifest& manifest, std::vector<std::string>& actions);
  void rollbackMoveBack(const AppMoveManifest& manifest, const MoveBackJournal& journal,
                        bool linkRemoved, OrphanReason reason, const std::string& error);
  // Retires the drive copy `nvme` against `kept`, only inside this
  // computer's working folder on the drive that is still mounted as
  // `anchor` saw it. What is kept (aside, or where it was) is added to
  // `keptPaths`; every outcome is logged after `logPrefix`. True when
  // nothing is left of it.
  bool retireDriveCopy(const std::optional<MountAnchor>& anchor, const std::filesystem::path& nvme,
                       const std::filesystem::path& kept, const ReplaceGuard& guard,
                       std::vector<std::string>& keptPaths, const std::string& logPrefix);
  // A staged copy no longer needed: retired against the drive copy (or what stands home).
  void retireStaging(const AppMoveManifest& manifest, const std::filesystem::path& staging,
                     std::vector<std::string>& actions);
  void breadcrumb(const AppMoveManifest& manifest, const std::string& quarantinePath,
                  OrphanReason reason, const std::string& error);

  AppMoveEnvironment env_;
  std::optional<EngineJob> running_;
  std::deque<EngineJob> queue_;
  std::optional<std::string> statusLine_;
  std::optional<std::time_t> lastFinished_;
  std::map<std::string, std::string> appStatus_;
  std::int64_t appsMoved_ = 0;
  std::int64_t bytesMoved_ = 0;
  std::int64_t bytesSaved_ = 0;
  std::vector<CompletionListener> listeners_;
  platform::BundleCopyObserver copyObserver_;
};

}  // namespace brimvale::apps
