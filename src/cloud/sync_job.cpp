#include "cloud/sync_job.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "cloud/job_runs.h"
#include "cloud/kept_aside.h"
#include "cloud/pepper_store.h"
#include "cloud/vault_crypto.h"
#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using nlohmann::json;

std::string_view jobStateName(JobState state) { return rawNameOf(kJobStateNames, state); }

std::optional<JobState> jobStateNamed(std::string_view name) {
  return valueOfRaw(kJobStateNames, name);
}

std::string_view jobStateLabel(JobState state) {
  switch (state) {
    case JobState::kQueued: return "Queued";
    case JobState::kPreparing: return "Preparing";
    case JobState::kRunning: return "Running";
    case JobState::kPaused: return "Paused";
    case JobState::kCompleted: return "Completed";
    case JobState::kFailed: return "Failed";
    case JobState::kCanceled: return "Canceled";
    case JobState::kWaitingForDrive: return "Waiting for drive";
  }
  return {};
}

bool isFinished(JobState state) {
  return state == JobState::kCompleted || state == JobState::kFailed ||
         state == JobState::kCanceled;
}

bool isActive(JobState state) {
  return state == JobState::kPreparing || state == JobState::kRunning;
}

std::string_view jobModeLabel(JobMode mode) {
  switch (mode) {
    case JobMode::kCopy: return "Copy";
    case JobMode::kMove: return "Move";
    case JobMode::kSyncOneWay: return "Sync (one-way)";
    case JobMode::kBisync: return "Bidirectional sync";
  }
  return {};
}

JobProgress progressFrom(const RcloneStats& stats) {
  JobProgress p{.bytesTransferred = stats.bytes,
                .bytesTotal = stats.totalBytes,
                .filesTransferred = stats.transfers,
                .filesTotal = stats.totalTransfers,
                .speedBytesPerSec = stats.speed,
                .currentFile = stats.currentFile,
                .errors = stats.errors};
  if (stats.speed > 0 && stats.totalBytes > 0) {
    p.etaSeconds = static_cast<double>(std::max<std::int64_t>(0, stats.totalBytes - stats.bytes)) /
                   stats.speed;
  }
  return p;
}

RcloneJobParameters SyncJob::rcloneParameters() const {
  return {.mode = mode,
          .source = source,
          .destination = destination,
          .transfers = transfers,
          .checkers = checkers,
          .bandwidthLimit = bandwidthLimit,
          .dryRun = dryRun,
          .bisyncResync = bisyncResync};
}

const SyncJob* jobWithPrefix(const std::vector<SyncJob>& jobs, std::string_view prefix) {
  const std::string upper = asciiUpper(prefix);
  const SyncJob* found = nullptr;
  for (const auto& job : jobs) {
    if (upper.empty() || !job.id.starts_with(upper)) continue;
    if (found) return nullptr;
    found = &job;
  }
  return found;
}

SyncJob newSyncJob(std::string source, std::string destination, JobMode mode, std::time_t now) {
  return SyncJob{.id = newUuid(),
                 .source = std::move(source),
                 .destination = std::move(destination),
                 .mode = mode,
                 .createdAt = now};
}

json encodeProgress(const JobProgress& p) {
  json j{{"bytesTransferred", p.bytesTransferred}, {"bytesTotal", p.bytesTotal},
         {"filesTransferred", p.filesTransferred}, {"filesTotal", p.filesTotal},
         {"speedBytesPerSec", p.speedBytesPerSec}, {"errors", p.errors}};
  if (p.etaSeconds) j["etaSeconds"] = *p.etaSeconds;
  if (p.currentFile) j["currentFile"] = *p.currentFile;
  return j;
}

namespace {

std::int64_t integerIn(const json& j, const char* key, std::int64_t fallback = 0) {
  auto it = j.find(key);
  return it != j.end() && it->is_number_integer() ? it->get<std::int64_t>() : fallback;
}

std::optional<std::string> textIn(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<std::time_t> jobDateIn(const json& j, const char* key) {
  auto text = textIn(j, key);
  return text ? parseIsots(*text) : std::nullopt;
}

bool flagIn(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

JobProgress decodeProgress(const json& j) {
  JobProgress p;
  if (!j.is_object()) return p;
  p.bytesTransferred = integerIn(j, "bytesTransferred");
  p.bytesTotal = integerIn(j, "bytesTotal");
  p.filesTransferred = integerIn(j, "filesTransferred");
  p.filesTotal = integerIn(j, "filesTotal");
  if (auto it = j.find("speedBytesPerSec"); it != j.end() && it->is_number())
    p.speedBytesPerSec = it->get<double>();
  if (auto it = j.find("etaSeconds"); it != j.end() && it->is_number())
    p.etaSeconds = it->get<double>();
  p.currentFile = textIn(j, "currentFile");
  p.errors = integerIn(j, "errors");
  return p;
}

json encodeSyncJob(const SyncJob& job) {
  json j{{"id", job.id},
         {"source", job.source},
         {"destination", job.destination},
         {"mode", jobModeName(job.mode)},
         {"state", jobStateName(job.state)},
         {"progress", encodeProgress(job.progress)},
         {"createdAt", isots(job.createdAt)},
         {"transfers", job.transfers},
         {"checkers", job.checkers},
         {"dryRun", job.dryRun},
         {"bisyncResync", job.bisyncResync},
         {"isScheduledInstance", job.isScheduledInstance},
         {"postSuccessAction", rawNameOf(kPostSuccessActionNames, job.postSuccessAction)}};
  if (job.startedAt) j["startedAt"] = isots(*job.startedAt);
  if (job.completedAt) j["completedAt"] = isots(*job.completedAt);
  if (job.errorMessage) j["errorMessage"] = *job.errorMessage;
  if (job.bandwidthLimit) j["bandwidthLimit"] = *job.bandwidthLimit;
  if (job.schedule) j["schedule"] = *job.schedule;
  if (job.lastScheduledRun) j["lastScheduledRun"] = isots(*job.lastScheduledRun);
  return j;
}

std::optional<SyncJob> decodeSyncJob(const json& entry) {
  if (!entry.is_object()) return std::nullopt;
  auto id = textIn(entry, "id");
  auto source = textIn(entry, "source");
  auto destination = textIn(entry, "destination");
  auto modeText = textIn(entry, "mode");
  auto stateText = textIn(entry, "state");
  auto created = jobDateIn(entry, "createdAt");
  if (!id || id->empty() || !source || !destination || !modeText || !stateText || !created)
    return std::nullopt;
  auto mode = jobModeNamed(*modeText);
  auto state = jobStateNamed(*stateText);
  if (!mode || !state) return std::nullopt;

  SyncJob job{.id = *id,
              .source = *source,
              .destination = *destination,
              .mode = *mode,
              .state = *state,
              .createdAt = *created};
  if (auto it = entry.find("progress"); it != entry.end()) job.progress = decodeProgress(*it);
  job.startedAt = jobDateIn(entry, "startedAt");
  job.completedAt = jobDateIn(entry, "completedAt");
  job.errorMessage = textIn(entry, "errorMessage");
  job.transfers =
      static_cast<int>(std::clamp<std::int64_t>(integerIn(entry, "transfers", 8), 1, 64));
  job.checkers = static_cast<int>(std::clamp<std::int64_t>(integerIn(entry, "checkers", 8), 1, 64));
  job.bandwidthLimit = textIn(entry, "bandwidthLimit");
  job.dryRun = flagIn(entry, "dryRun");
  job.bisyncResync = flagIn(entry, "bisyncResync");
  if (auto it = entry.find("schedule"); it != entry.end() && !it->is_null()) job.schedule = *it;
  job.lastScheduledRun = jobDateIn(entry, "lastScheduledRun");
  job.isScheduledInstance = flagIn(entry, "isScheduledInstance");
  // An action this build does not know must not turn into a deletion.
  job.postSuccessAction =
      valueOfRaw(kPostSuccessActionNames, textIn(entry, "postSuccessAction").value_or("none"))
          .value_or(PostSuccessAction::kNone);
  return job;
}

JobListFile::JobListFile(fs::path file, FileOperations& ops) : file_(std::move(file)), ops_(ops) {}

fs::path JobListFile::unreadableFile() const {
  return fs::path(file_.string() + ".unreadable.json");
}

Result<void> JobListFile::keepUnreadable(const std::vector<json>& entries) {
  json kept = json::array();
  std::error_code ec;
  if (fs::exists(unreadableFile(), ec)) {
    auto text = readFile(unreadableFile());
    if (!text) return std::unexpected(text.error());
    kept = json::parse(*text, nullptr, false);
    if (!kept.is_array()) {
      if (auto aside = keepAside(ops_, unreadableFile(), std::time(nullptr)); !aside)
        return fail(Errc::kIo, unreadableFile().string() + ": " + aside.error().message());
      kept = json::array();
    }
  }
  bool added = false;
  for (const auto& entry : entries) {
    if (std::find(kept.begin(), kept.end(), entry) == kept.end()) {
      kept.push_back(entry);
      added = true;
    }
  }
  if (!added) return {};
  return writeFileAtomically(unreadableFile(), kept.dump(2));
}

Result<std::vector<SyncJob>> JobListFile::load() {
  std::error_code ec;
  if (!fs::exists(file_, ec)) return std::vector<SyncJob>{};
  auto text = readFile(file_);
  if (!text) return std::unexpected(text.error());
  auto list = json::parse(*text, nullptr, false);
  if (!list.is_array()) {
    if (auto aside = keepAside(ops_, file_, std::time(nullptr)); !aside) {
      return fail(Errc::kParse,
                  "The transfer list " + file_.string() +
                      " could not be read and could not be set aside (" + aside.error().message() +
                      "). It was left as it is; no transfer will be saved until it is moved.");
    }
    return std::vector<SyncJob>{};
  }
  std::vector<SyncJob> jobs;
  std::vector<json> unreadable;
  const JobRunFiles runs = JobRunFiles::besideJobList(file_);
  for (const auto& entry : list) {
    auto job = decodeSyncJob(entry);
    if (!job) {
      unreadable.push_back(entry);
      continue;
    }
    if (isActive(job->state) && !runs.liveRun(job->id)) job->state = JobState::kQueued;
    jobs.push_back(std::move(*job));
  }
  if (!unreadable.empty()) {
    if (auto kept = keepUnreadable(unreadable); !kept) return std::unexpected(kept.error());
  }
  return jobs;
}

Result<void> JobListFile::save(const std::vector<SyncJob>& jobs) {
  json list = json::array();
  for (const auto& job : jobs) list.push_back(encodeSyncJob(job));
  if (auto made = ensurePrivateFolder(file_.parent_path()); !made) return made;
  return writeFileAtomically(file_, list.dump(2));
}

Result<std::vector<SyncJob>> JobListFile::update(
    const std::function<void(std::vector<SyncJob>&)>& change) {
  if (auto made = ensurePrivateFolder(file_.parent_path()); !made) {
    return std::unexpected(made.error());
  }
  auto lock = FileLock::open(file_.string() + ".lock");
  if (!lock) {
    return fail(Errc::kIo, "The transfer list's lock " + file_.string() +
                               ".lock could not be opened: " + lock.error().detail);
  }
  if (auto held = lock->lock(); !held) return std::unexpected(held.error());
  auto jobs = load();
  if (!jobs) return jobs;
  change(*jobs);
  if (auto saved = save(*jobs); !saved) return std::unexpected(saved.error());
  return jobs;
}

}  // namespace brimvale::cloud
