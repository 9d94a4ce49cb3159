#include "transfers/background_jobs.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/raw_names.h"
#include "common/base/text_formats.h"

namespace brimvale::transfers {
namespace {

using nlohmann::json;

constexpr std::array kJobKinds{
    JobKindInfo{JobKind::kAutoSync, "auto_sync", "Checks every minute"},
    JobKindInfo{JobKind::kFileMoves, "file_moves", "Runs when there are files to move"},
    JobKindInfo{JobKind::kAppsRelocator, "apps_relocator",
                "Runs when you move an app, and watches for reinstalls"},
    JobKindInfo{JobKind::kCloudTransfers, "cloud_transfers",
                "Runs when a transfer is scheduled or queued"},
    JobKindInfo{JobKind::kFreeUpSpace, "free_up_space", "Runs when you ask it to"},
    JobKindInfo{JobKind::kOptimiseCloud, "optimise_cloud", "Runs when you ask it to"},
    JobKindInfo{JobKind::kLocalSnapshots, "local_snapshots", "Runs after moves and on demand"},
    JobKindInfo{JobKind::kUsageHistory, "usage_history", "Records once an hour"},
    JobKindInfo{JobKind::kStorageWatch, "storage_watch", "Checks every half-minute"},
    JobKindInfo{JobKind::kDriveTransfer, "drive_transfer",
                "Runs when you transfer or back up to another drive"},
    JobKindInfo{JobKind::kCare, "care", "Runs when you start the one-tap clean-up"},
};

std::optional<json> parseObject(std::string_view line) {
  json j = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  return j;
}

bool takeText(const json& j, const char* key, std::string& out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool takeInt(const json& j, const char* key, std::int64_t& out) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_integer()) return false;
  out = it->get<std::int64_t>();
  return true;
}

std::string signatureOf(JobKind feature, std::string_view itemName) {
  return std::string(jobKindInfo(feature).raw) + "|" + std::string(itemName);
}

std::vector<std::string> fileLines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  auto text = readFile(path);
  if (!text) return lines;
  for (std::string_view line : splitLines(*text)) {
    if (!line.empty()) lines.emplace_back(line);
  }
  return lines;
}

}  // namespace

std::span<const JobKindInfo> jobKinds() { return kJobKinds; }

const JobKindInfo& jobKindInfo(JobKind kind) {
  for (const auto& info : kJobKinds) {
    if (info.kind == kind) return info;
  }
  return kJobKinds[0];  // unreachable while the table covers every case
}

std::optional<JobKind> jobKindFromRaw(std::string_view raw) {
  for (const auto& info : kJobKinds) {
    if (info.raw == raw) return info.kind;
  }
  return std::nullopt;
}

std::string_view jobOutcomeRaw(JobOutcome outcome) { return rawNameOf(kJobOutcomeNames, outcome); }

std::optional<JobOutcome> jobOutcomeFromRaw(std::string_view raw) {
  return valueOfRaw(kJobOutcomeNames, raw);
}

std::string jobLine(const BackgroundJob& job) {
  return json{{"kind", jobKindInfo(job.kind).raw},
              {"lastRunAt", job.lastRunAt},
              {"lastOutcome", jobOutcomeRaw(job.lastOutcome)},
              {"lastSummary", job.lastSummary},
              {"totalRuns", job.totalRuns},
              {"succeeded", job.succeeded},
              {"failed", job.failed},
              {"itemsHandled", job.itemsHandled},
              {"bytesHandled", job.bytesHandled},
              {"issues", job.issues}}
      .dump();
}

std::string issueLine(const BackgroundIssue& issue) {
  return json{{"signature", issue.signature}, {"feature", issue.feature},
              {"message", issue.message},     {"itemName", issue.itemName},
              {"count", issue.count},         {"firstSeen", issue.firstSeen},
              {"lastSeen", issue.lastSeen}}
      .dump();
}

std::optional<BackgroundJob> decodeJobLine(std::string_view line) {
  auto j = parseObject(line);
  if (!j) return std::nullopt;
  BackgroundJob job;
  std::string kind, outcome;
  if (!takeText(*j, "kind", kind) || !takeText(*j, "lastOutcome", outcome)) return std::nullopt;
  auto k = jobKindFromRaw(kind);
  auto o = jobOutcomeFromRaw(outcome);
  if (!k || !o) return std::nullopt;
  job.kind = *k;
  job.lastOutcome = *o;
  takeText(*j, "lastRunAt", job.lastRunAt);
  takeText(*j, "lastSummary", job.lastSummary);
  takeInt(*j, "totalRuns", job.totalRuns);
  takeInt(*j, "succeeded", job.succeeded);
  takeInt(*j, "failed", job.failed);
  takeInt(*j, "itemsHandled", job.itemsHandled);
  takeInt(*j, "bytesHandled", job.bytesHandled);
  takeInt(*j, "issues", job.issues);
  return job;
}

std::optional<BackgroundIssue> decodeIssueLine(std::string_view line) {
  auto j = parseObject(line);
  if (!j) return std::nullopt;
  BackgroundIssue issue;
  if (!takeText(*j, "signature", issue.signature) || issue.signature.empty()) return std::nullopt;
  takeText(*j, "feature", issue.feature);
  takeText(*j, "message", issue.message);
  takeText(*j, "itemName", issue.itemName);
  takeInt(*j, "count", issue.count);
  takeText(*j, "firstSeen", issue.firstSeen);
  takeText(*j, "lastSeen", issue.lastSeen);
  return issue;
}

BackgroundJobsStore::BackgroundJobsStore(const std::filesystem::path& stateDir, WallClock clock)
    : jobsFile_(stateDir / "background-jobs.ndjson"),
      issuesFile_(stateDir / "background-issues.ndjson"),
      clock_(std::move(clock)) {}

Result<BackgroundJob> BackgroundJobsStore::recordRun(JobKind kind, JobOutcome outcome,
                                                     std::string_view summary, std::int64_t items,
                                                     std::int64_t bytes) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines = fileLines(jobsFile_);
  BackgroundJob job;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    auto previous = decodeJobLine(*it);
    if (previous && previous->kind == kind) {
      job = *previous;
      break;
    }
  }
  job.kind = kind;
  job.lastRunAt = isots(clock_());
  job.lastOutcome = outcome;
  job.lastSummary = std::string(summary);
  job.totalRuns += 1;
  if (outcome == JobOutcome::kOk) job.succeeded += 1;
  if (outcome == JobOutcome::kFailed) job.failed += 1;
  job.itemsHandled += items;
  job.bytesHandled += bytes;
  const std::string_view feature = jobKindInfo(kind).raw;
  auto issues = fileLines(issuesFile_);
  job.issues = std::count_if(issues.begin(), issues.end(), [&](const std::string& l) {
    auto issue = decodeIssueLine(l);
    return issue && issue->feature == feature;
  });

  if (lines.size() + 1 <= kJobsFileCap) {
    if (auto appended = appendNdjsonLine(jobsFile_, jobLine(job)); !appended) {
      return std::unexpected(appended.error());
    }
    return job;
  }
  // Keep the newest half, plus the newest line of every kind older than that.
  lines.push_back(jobLine(job));
  const std::size_t keepFrom = lines.size() - kJobsFileCap / 2;
  std::vector<std::string> kept;
  for (const auto& info : kJobKinds) {
    for (std::size_t i = keepFrom; i-- > 0;) {
      auto old = decodeJobLine(lines[i]);
      if (!old || old->kind != info.kind) continue;
      bool newerKept = std::any_of(lines.begin() + keepFrom, lines.end(), [&](const auto& l) {
        auto n = decodeJobLine(l);
        return n && n->kind == info.kind;
      });
      if (!newerKept) kept.push_back(lines[i]);
      break;
    }
  }
  kept.insert(kept.end(), lines.begin() + keepFrom, lines.end());
  std::string content;
  for (const auto& l : kept) content += l + "\n";
  if (auto written = writeFileAtomically(jobsFile_, content); !written) {
    return std::unexpected(written.error());
  }
  return job;
}

Result<BackgroundIssue> BackgroundJobsStore::recordIssue(JobKind feature, std::string_view itemName,
                                                         std::string_view message) {
  std::lock_guard lock(mutex_);
  std::vector<BackgroundIssue> issues = readIssuesLocked();
  const std::string signature = signatureOf(feature, itemName);
  const std::string now = isots(clock_());
  auto it = std::find_if(issues.begin(), issues.end(),
                         [&](const auto& i) { return i.signature == signature; });
  if (it == issues.end()) {
    issues.push_back({signature, std::string(jobKindInfo(feature).raw), std::string(message),
                      std::string(itemName), 0, now, now});
    it = issues.end() - 1;
  }
  it->count += 1;
  it->lastSeen = now;
  it->message = std::string(message);
  BackgroundIssue result = *it;
  if (auto written = writeIssues(issues); !written) return std::unexpected(written.error());
  return result;
}

Result<void> BackgroundJobsStore::clearIssue(JobKind feature, std::string_view itemName) {
  std::lock_guard lock(mutex_);
  std::vector<BackgroundIssue> issues = readIssuesLocked();
  const std::string signature = signatureOf(feature, itemName);
  auto removed = std::erase_if(issues, [&](const auto& i) { return i.signature == signature; });
  if (removed == 0) return {};
  return writeIssues(issues);
}

std::vector<BackgroundJob> BackgroundJobsStore::readJobs() const {
  std::lock_guard lock(mutex_);
  std::vector<BackgroundJob> jobs;
  for (const auto& line : fileLines(jobsFile_)) {
    if (auto job = decodeJobLine(line)) jobs.push_back(std::move(*job));
  }
  return jobs;
}

std::vector<BackgroundIssue> BackgroundJobsStore::readIssues() const {
  std::lock_guard lock(mutex_);
  return readIssuesLocked();
}

std::vector<BackgroundIssue> BackgroundJobsStore::readIssuesLocked() const {
  std::vector<BackgroundIssue> issues;
  for (const auto& line : fileLines(issuesFile_)) {
    if (auto issue = decodeIssueLine(line)) issues.push_back(std::move(*issue));
  }
  return issues;
}

Result<void> BackgroundJobsStore::writeIssues(const std::vector<BackgroundIssue>& issues) const {
  // Lines this version cannot decode are kept as they were.
  std::string content;
  for (const auto& line : fileLines(issuesFile_)) {
    if (!decodeIssueLine(line)) content += line + "\n";
  }
  for (const auto& issue : issues) content += issueLine(issue) + "\n";
  return writeFileAtomically(issuesFile_, content);
}

std::vector<BackgroundJob> latestPerKind(const std::vector<BackgroundJob>& jobs) {
  std::vector<BackgroundJob> latest;
  for (const auto& info : kJobKinds) {
    for (auto it = jobs.rbegin(); it != jobs.rend(); ++it) {
      if (it->kind == info.kind) {
        latest.push_back(*it);
        break;
      }
    }
  }
  return latest;
}

}  // namespace brimvale::transfers
