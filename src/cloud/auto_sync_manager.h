// Runs the auto-sync policies: registers and keeps them, scans each enabled
// folder, queues its new files for the drive, keeps the totals and the
// failure records, and reports every run to the background-job ledger.
#pragma once

#include <cstdint>
#include <ctime>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud/auto_sync_policy.h"
#include "cloud/auto_sync_scan.h"
#include "cloud/auto_sync_store.h"
#include "common/base/best_effort.h"
#include "common/base/timestamps.h"
#include "platform/scheduler.h"
#include "transfers/background_jobs.h"

namespace brimvale::cloud {

inline constexpr std::string_view kHeldByDriveTransfer = "while a drive transfer runs";

// What became of one file handed to the folder mover.
struct QueueOutcome {
  enum class Kind {
    kQueued,   // a job will copy it
    kDropped,  // not taken now (a drive transfer holds moves); not a failure
    kFailed,   // refused; `error` says why
  };
  Kind kind = Kind::kQueued;
  // kFailed: why. kDropped: what holds the moves back, as "while ..." words;
  // empty for a drive transfer.
  std::string error;
};
// Queues `file` to go into the folder `destinationParent` on the drive.
using QueueCopy =
    std::function<QueueOutcome(const std::string& file, const std::string& destinationParent)>;

struct AutoSyncSettings {
  std::filesystem::path stateDir;  // ~/.brimvale/state
  // Where the failures nobody has to act on are noted.
  std::filesystem::path diagnosticsLog;
  AutoSyncRoots roots;
  std::function<bool()> driveMounted;
  std::function<bool(const std::string&)> isOpen;
  QueueCopy queueCopy;
  transfers::BackgroundJobsStore* ledger = nullptr;
  WallClock clock = systemClock();
  AutoSyncLog log;
};

struct AutoSyncRun {
  std::string policyId;
  transfers::JobOutcome outcome = transfers::JobOutcome::kOk;
  std::string summary;
  std::int64_t queued = 0;
  std::int64_t queuedBytes = 0;
  std::int64_t failed = 0;
  std::int64_t dropped = 0;
  std::int64_t inUse = 0;
};

// The run summary: "Queued 2 new files to copy to your fast drive." or
// "Nothing new to copy.", with the failures, the files in use and the files
// held back after it; `heldBy` says what held them ("while ..."), by default
// a drive transfer.
[[nodiscard]] std::string runSummary(std::int64_t queued, std::int64_t failed, std::int64_t inUse,
                                     std::int64_t dropped = 0,
                                     std::string_view heldBy = kHeldByDriveTransfer);

inline constexpr std::string_view kDriveMissingSummary =
    "Your fast drive isn't connected, so nothing was copied.";

// Loop-thread only.
class AutoSyncManager {
 public:
  explicit AutoSyncManager(AutoSyncSettings settings);

  // The stored policy, or the sentence saying why it was refused (the
  // refusal's log line is written).
  std::expected<AutoSyncPolicy, std::string> registerPolicy(
      const std::string& internalPath, const std::string& nvmeDestParent,
      std::vector<std::string> excludePatterns = {});
  // Changes where a policy's new files go and the names it leaves out, checked
  // as a registration is; its totals and history stay. The stored policy, or
  // the sentence saying why nothing was changed.
  std::expected<AutoSyncPolicy, std::string> edit(const std::string& id,
                                                  const std::string& nvmeDestParent,
                                                  std::vector<std::string> excludePatterns);
  [[nodiscard]] Result<void> remove(const std::string& id);
  [[nodiscard]] Result<void> setEnabled(const std::string& id, bool enabled);
  [[nodiscard]] std::vector<AutoSyncPolicy> policies() const { return store_.all(); }

  // Runs one policy now, enabled or not; nothing when there is no such policy.
  std::optional<AutoSyncRun> runNow(const std::string& id);
  // One tick of the minute timer: the enabled policies are scanned on a
  // worker thread, then their files are queued here on the loop thread and
  // `done` gets the runs. The manager must outlive work queued on `scheduler`.
  void tick(platform::Scheduler& scheduler, std::function<void(std::vector<AutoSyncRun>)> done);

  // A queued copy of `file` ended: a success adds to its policy's totals and
  // clears the file's failure record; a failure counts against the file.
  void copyFinished(const std::string& file, std::int64_t bytes, bool succeeded);
  // A queued copy was cancelled: the file may be offered again, with no failure counted.
  void copyCancelled(const std::string& file);

 private:
  std::optional<AutoSyncRun> run(const AutoSyncPolicy& policy);
  // Queues a scan's files; nothing when the policy is gone by now.
  std::optional<AutoSyncRun> apply(const std::string& policyId, const AutoSyncScan& scan,
                                   std::time_t now);
  AutoSyncRun driveMissing(const std::string& policyId);
  [[nodiscard]] bool driveMounted() const;
  [[nodiscard]] DiagnosticsLog diagnostics() const;
  [[nodiscard]] ScanHooks hooksFor(std::time_t now) const;
  void record(const AutoSyncRun& run);
  void log(const std::string& line) const;

  AutoSyncSettings settings_;
  AutoSyncStore store_;
  AutoSyncFailures failures_;
  // Queued and not finished yet: until its copy ends the file still looks new,
  // and queuing it again every minute would pile up moves of one file.
  std::set<std::string> pending_;
};

}  // namespace brimvale::cloud
