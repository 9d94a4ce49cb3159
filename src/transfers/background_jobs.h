// The background-job ledger: one NDJSON line per run of unattended work with
// running totals (state/background-jobs.ndjson), and recurring problems
// folded by signature (state/background-issues.ndjson).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/raw_names.h"
#include "common/base/timestamps.h"

namespace brimvale::transfers {

// Persisted by raw string; never renumber (see jobKinds()).
enum class JobKind {
  kAutoSync,
  kFileMoves,
  kAppsRelocator,
  kCloudTransfers,
  kFreeUpSpace,
  kOptimiseCloud,
  kLocalSnapshots,
  kUsageHistory,
  kStorageWatch,
  kDriveTransfer,
  kCare,
};

struct JobKindInfo {
  JobKind kind;
  std::string_view raw;          // "storage_watch"
  std::string_view description;  // "Checks every half-minute"
};
// Every kind, in the order the ledger view lists them.
[[nodiscard]] std::span<const JobKindInfo> jobKinds();
[[nodiscard]] const JobKindInfo& jobKindInfo(JobKind kind);
[[nodiscard]] std::optional<JobKind> jobKindFromRaw(std::string_view raw);

enum class JobOutcome { kOk, kPartial, kFailed, kSkipped };
inline constexpr std::array<RawName<JobOutcome>, 4> kJobOutcomeNames{{
    {JobOutcome::kOk, "ok"},
    {JobOutcome::kPartial, "partial"},
    {JobOutcome::kFailed, "failed"},
    {JobOutcome::kSkipped, "skipped"},
}};
[[nodiscard]] std::string_view jobOutcomeRaw(JobOutcome outcome);
[[nodiscard]] std::optional<JobOutcome> jobOutcomeFromRaw(std::string_view raw);

// One ledger line: the latest run of a kind and the totals up to it.
struct BackgroundJob {
  JobKind kind = JobKind::kAutoSync;
  std::string lastRunAt;  // ISO-8601 UTC
  JobOutcome lastOutcome = JobOutcome::kOk;
  std::string lastSummary;
  std::int64_t totalRuns = 0;
  std::int64_t succeeded = 0;  // runs ending kOk
  std::int64_t failed = 0;     // runs ending kFailed
  std::int64_t itemsHandled = 0;
  std::int64_t bytesHandled = 0;
  std::int64_t issues = 0;  // open issues of this kind's feature at the time

  bool operator==(const BackgroundJob&) const = default;
};

struct BackgroundIssue {
  std::string signature;  // feature + "|" + itemName
  std::string feature;    // a JobKind raw string
  std::string message;    // the latest wording
  std::string itemName;
  std::int64_t count = 0;
  std::string firstSeen;
  std::string lastSeen;

  bool operator==(const BackgroundIssue&) const = default;
};

[[nodiscard]] std::string jobLine(const BackgroundJob& job);        // compact, sorted keys
[[nodiscard]] std::string issueLine(const BackgroundIssue& issue);  // compact, sorted keys
[[nodiscard]] std::optional<BackgroundJob> decodeJobLine(std::string_view line);
[[nodiscard]] std::optional<BackgroundIssue> decodeIssueLine(std::string_view line);

// Thread-safe; one store per application. Readers skip undecodable lines and
// leave them on disk.
class BackgroundJobsStore {
 public:
  // `stateDir` is ~/.brimvale/state.
  BackgroundJobsStore(const std::filesystem::path& stateDir, WallClock clock);

  // Appends a run of `kind`, carrying the totals of its previous line. Once
  // the file passes kJobsFileCap lines it is rewritten with the newest half
  // and the newest line of every kind, so totals survive trimming.
  [[nodiscard]] Result<BackgroundJob> recordRun(JobKind kind, JobOutcome outcome,
                                                std::string_view summary, std::int64_t items = 0,
                                                std::int64_t bytes = 0);
  // Adds the issue or, when one with the same signature is open, bumps its
  // count and lastSeen and takes the new message.
  [[nodiscard]] Result<BackgroundIssue> recordIssue(JobKind feature, std::string_view itemName,
                                                    std::string_view message);
  // Removes the issue of (feature, itemName); none open is not an error.
  [[nodiscard]] Result<void> clearIssue(JobKind feature, std::string_view itemName);

  [[nodiscard]] std::vector<BackgroundJob> readJobs() const;
  [[nodiscard]] std::vector<BackgroundIssue> readIssues() const;

  static constexpr std::size_t kJobsFileCap = 2000;

 private:
  std::vector<BackgroundIssue> readIssuesLocked() const;
  Result<void> writeIssues(const std::vector<BackgroundIssue>& issues) const;

  std::filesystem::path jobsFile_;
  std::filesystem::path issuesFile_;
  WallClock clock_;
  mutable std::mutex mutex_;
};

// The newest line of each kind, in jobKinds() order.
[[nodiscard]] std::vector<BackgroundJob> latestPerKind(const std::vector<BackgroundJob>& jobs);

}  // namespace brimvale::transfers
