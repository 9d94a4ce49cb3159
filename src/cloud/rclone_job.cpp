#include "cloud/rclone_job.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>

#include "cloud/rclone_client.h"
#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace {

using Json = nlohmann::json;

struct ModeName {
  JobMode mode;
  std::string_view name;
  std::string_view verb;
};

constexpr std::array kModes{
    ModeName{JobMode::kCopy, "copy", "copy"},
    ModeName{JobMode::kMove, "move", "move"},
    ModeName{JobMode::kSyncOneWay, "sync_one_way", "sync"},
    ModeName{JobMode::kBisync, "bisync", "bisync"},
};

const ModeName& modeEntry(JobMode mode) {
  for (const auto& entry : kModes) {
    if (entry.mode == mode) return entry;
  }
  return kModes.front();
}

// Google's backends refuse or mishandle --fast-list; they are recognised by
// the remote's name alone, as users name them.
bool looksLikeGoogleRemote(std::string_view path) {
  const auto colon = path.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string name = asciiLower(path.substr(0, colon));
  for (std::string_view word : {"drive", "photo", "gphoto"}) {
    if (name.find(word) != std::string::npos) return true;
  }
  return false;
}

bool hasChecksums(const std::optional<std::string>& type) {
  if (!type) return false;
  for (std::string_view t : {"s3", "drive", "googlephotos", "dropbox", "onedrive", "box"}) {
    if (*type == t) return true;
  }
  return false;
}

std::optional<std::int64_t> integerOf(const Json& stats, const char* key) {
  if (!stats.contains(key) || !stats[key].is_number()) return std::nullopt;
  return static_cast<std::int64_t>(stats[key].get<double>());
}

// The lines of one stream; a line cut between two reads waits for its end.
class LineSplitter {
 public:
  template <class Sink>
  void feed(std::string_view chunk, Sink&& sink) {
    pending_ += chunk;
    std::size_t start = 0;
    for (auto end = pending_.find('\n'); end != std::string::npos;
         end = pending_.find('\n', start)) {
      std::string line = pending_.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      sink(line);
      start = end + 1;
    }
    pending_.erase(0, start);
  }
  template <class Sink>
  void finish(Sink&& sink) {
    if (!pending_.empty()) sink(std::exchange(pending_, {}));
  }

 private:
  std::string pending_;
};

}  // namespace

std::string_view jobModeName(JobMode mode) { return modeEntry(mode).name; }

std::optional<JobMode> jobModeNamed(std::string_view name) {
  for (const auto& entry : kModes) {
    if (entry.name == name) return entry.mode;
  }
  return std::nullopt;
}

std::vector<std::string> rcloneJobArguments(const RcloneJobParameters& job,
                                            const RemoteTypeLookup& typeOf) {
  std::vector<std::string> args{std::string(modeEntry(job.mode).verb)};
  if (job.mode == JobMode::kBisync && job.bisyncResync) args.push_back("--resync");
  args.insert(args.end(),
              {job.source, job.destination, "--transfers", std::to_string(job.transfers),
               "--checkers", std::to_string(job.checkers)});
  if (job.bandwidthLimit && !job.bandwidthLimit->empty()) {
    args.insert(args.end(), {"--bwlimit", *job.bandwidthLimit});
  }
  if (!looksLikeGoogleRemote(job.source) && !looksLikeGoogleRemote(job.destination)) {
    args.push_back("--fast-list");
  }
  args.insert(args.end(), {"--use-server-modtime", "--metadata"});
  if (job.mode == JobMode::kCopy || job.mode == JobMode::kMove) {
    if (job.rerunSuffix) {
      args.insert(args.end(), {"--suffix", *job.rerunSuffix});
    } else {
      args.push_back("--update");
    }
  }
  args.insert(args.end(),
              {"--use-json-log", "--stats", "1s", "--stats-one-line", "--log-level", "INFO"});
  if (job.dryRun) args.push_back("--dry-run");
  const auto sourceRemote = remoteNameOf(job.source);
  const auto destinationRemote = remoteNameOf(job.destination);
  if (sourceRemote || destinationRemote) {
    args.insert(args.end(), {"--retries", "10", "--low-level-retries", "20", "--retries-sleep",
                             "5s", "--partial-suffix", ".partial"});
    const bool checksums = (sourceRemote && hasChecksums(typeOf(*sourceRemote))) ||
                           (destinationRemote && hasChecksums(typeOf(*destinationRemote)));
    if (checksums) args.push_back("--checksum");
  }
  return args;
}

std::optional<RcloneStats> parseStatsLine(std::string_view line) {
  // Most lines are one per file copied: only a statistics line is worth parsing.
  if (line.find("\"stats\"") == std::string_view::npos) return std::nullopt;
  const Json entry = Json::parse(line, nullptr, false);
  if (!entry.is_object() || !entry.contains("stats") || !entry["stats"].is_object()) {
    return std::nullopt;
  }
  const Json& stats = entry["stats"];
  RcloneStats sample;
  sample.bytes = integerOf(stats, "bytes").value_or(0);
  sample.totalBytes = integerOf(stats, "totalBytes").value_or(0);
  sample.transfers = integerOf(stats, "transfers").value_or(0);
  sample.totalTransfers = integerOf(stats, "totalTransfers").value_or(0);
  sample.errors = integerOf(stats, "errors").value_or(0);
  if (stats.contains("speed") && stats["speed"].is_number()) {
    sample.speed = stats["speed"].get<double>();
  }
  if (stats.contains("transferring") && stats["transferring"].is_array() &&
      !stats["transferring"].empty()) {
    const Json& first = stats["transferring"].front();
    if (first.is_object() && first.contains("name") && first["name"].is_string()) {
      sample.currentFile = first["name"].get<std::string>();
    }
  }
  return sample;
}

std::string jobFailureText(int status, const std::vector<std::string>& logLines,
                           const std::string& destination) {
  std::string tail;
  const std::size_t first = logLines.size() > 5 ? logLines.size() - 5 : 0;
  for (std::size_t i = first; i < logLines.size(); ++i) {
    tail += (i == first ? "" : "\n") + logLines[i];
  }
  const std::string generic =
      "rclone exited with code " + std::to_string(status) + ". Last log lines:\n" + tail;
  bool missingBucket = false;
  for (const auto& line : logLines) {
    if (line.find("NoSuchBucket") != std::string::npos) missingBucket = true;
  }
  const auto colon = destination.find(':');
  if (!missingBucket || colon == std::string::npos) return generic;

  const std::string remote = colon == 0 ? "(unknown)" : destination.substr(0, colon);
  std::string_view rest = std::string_view(destination).substr(colon + 1);
  while (rest.starts_with('/')) rest.remove_prefix(1);
  const std::string bucket(rest.substr(0, rest.find('/')));
  std::string text = "Transfer failed because the S3 bucket couldn't be found.\n\n";
  if (!bucket.empty()) {
    text += "rclone parsed `" + bucket + "` as the bucket name, but no bucket with that name " +
            "exists on `" + remote + "`.";
  } else {
    text += "rclone needs a bucket name as the first path component (`remote:bucket/key`).";
  }
  text += "\n\nFix: open Preferences \u2192 Accounts \u2192 " + remote +
          " \u2192 Edit, set the **Bucket** field to your actual S3 bucket name, and re-run this "
          "transfer. Brimvale will prepend the bucket on every future path.";
  return text + "\n\n" + generic;
}

RcloneJob::~RcloneJob() {
  cancel();
  wait();
}

void RcloneJob::cancel() {
  cancelled_ = true;
  const int pid = pid_.load();
  if (pid > 0 && !ended_) {
    ::kill(-pid, SIGTERM);
    ::kill(-pid, SIGCONT);  // a suspended group acts on the signal only once continued
  }
}

void RcloneJob::kill() {
  cancelled_ = true;
  const int pid = pid_.load();
  if (pid > 0 && !ended_) ::kill(-pid, SIGKILL);
}

void RcloneJob::suspend() {
  const int pid = pid_.load();
  if (pid > 0 && !ended_) ::kill(-pid, SIGSTOP);
}

void RcloneJob::proceed() {
  const int pid = pid_.load();
  if (pid > 0 && !ended_) ::kill(-pid, SIGCONT);
}

void RcloneJob::wait() {
  if (thread_.joinable()) thread_.join();
}

bool rcloneTakesPartialSuffix(const std::string& rclone, const ProcessRunner& run) {
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  std::lock_guard lock(mutex);
  if (auto it = known.find(rclone); it != known.end()) return it->second;
  ProcessInvocation help{.path = rclone, .args = {"help", "flags"}};
  help.deadline = std::chrono::seconds(20);
  const ProcessResult result = run(help);
  // Unknown (rclone did not answer): keep the flag, as the job would.
  const bool takes =
      !result.succeeded() || result.out.find("--partial-suffix") != std::string::npos;
  known[rclone] = takes;
  return takes;
}

std::vector<std::string> withoutPartialSuffix(std::vector<std::string> args) {
  auto it = std::find(args.begin(), args.end(), "--partial-suffix");
  if (it != args.end()) args.erase(it, std::min(it + 2, args.end()));
  return args;
}

Result<std::unique_ptr<RcloneJob>> startRcloneJob(const std::optional<std::string>& rclone,
                                                  std::vector<std::string> args,
                                                  RcloneJobCallbacks callbacks, ProcessRunner run) {
  if (!rclone) return fail(Errc::kUnavailable, std::string(kRcloneNotInstalled));
  if (!rcloneTakesPartialSuffix(*rclone, run)) args = withoutPartialSuffix(std::move(args));
  std::unique_ptr<RcloneJob> job(new RcloneJob());
  RcloneJob* self = job.get();
  ProcessInvocation invocation{.path = *rclone, .args = std::move(args)};
  invocation.captureLimit = 0;  // every line goes to the callbacks instead
  invocation.dieWithParent = true;
  self->thread_ = std::thread([self, invocation = std::move(invocation),
                               callbacks = std::move(callbacks), run = std::move(run)]() mutable {
    LineSplitter out;
    LineSplitter err;
    const auto logLine = [&](const std::string& line) {
      if (callbacks.logLine) callbacks.logLine(line);
    };
    const auto errLine = [&](const std::string& line) {
      logLine(line);
      if (auto sample = parseStatsLine(line); sample && callbacks.progress) {
        callbacks.progress(*sample);
      }
    };
    invocation.onStdout = [&](std::string_view chunk) { out.feed(chunk, logLine); };
    invocation.onStderr = [&](std::string_view chunk) { err.feed(chunk, errLine); };
    invocation.onStart = [self](int pid) {
      self->pid_ = pid;
      // A cancel that came before the pid was known takes effect now.
      if (self->cancelled_) ::kill(-pid, SIGTERM);
    };
    const ProcessResult result = run(invocation);
    self->ended_ = true;
    out.finish(logLine);
    err.finish(errLine);
    int status = result.exitCode;
    if (result.outcome == ProcessOutcome::kSignalled) status = -result.signal;
    if (result.outcome == ProcessOutcome::kFailedToStart) {
      logLine("Failed to launch rclone: " + result.launchError);
      status = -1;
    }
    if (callbacks.exited) callbacks.exited(status);
  });
  return job;
}

}  // namespace brimvale::cloud
