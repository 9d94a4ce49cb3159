#include "cloud/rclone_job.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <cctype>
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

std::string logLineText(std::string_view line) {
  if (line.starts_with('{')) {
    const Json entry = Json::parse(line, nullptr, false);
    if (entry.is_object() && entry.contains("msg") && entry["msg"].is_string()) {
      std::string text = entry["msg"].get<std::string>();
      const auto blank = [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); };
      while (!text.empty() && blank(text.back())) text.pop_back();
      text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
      if (entry.contains("object") && entry["object"].is_string() &&
          !entry["object"].get<std::string>().empty()) {
        text = entry["object"].get<std::string>() + ": " + text;
      }
      return text;
    }
  }
  // "2026/12/09 05:31:24 Failed to copy: ..."
  const bool dated = line.size() > 20 && line[4] == '/' && line[7] == '/' && line[10] == ' ' &&
                     line[13] == ':' && line[16] == ':' && line[19] == ' ';
  return std::string(dated ? line.substr(20) : line);
}

std::optional<DryRunItem> parseDryRunLine(std::string_view line) {
  if (line.find("\"skipped\"") == std::string_view::npos) return std::nullopt;
  const Json entry = Json::parse(line, nullptr, false);
  if (!entry.is_object() || !entry.contains("skipped") || !entry["skipped"].is_string() ||
      !entry.contains("object") || !entry["object"].is_string()) {
    return std::nullopt;
  }
  return DryRunItem{.action = entry["skipped"].get<std::string>(),
                    .name = entry["object"].get<std::string>(),
                    .size = integerOf(entry, "size").value_or(0)};
}

namespace {

struct CauseWord {
  RcloneProblem cause;
  std::string_view word;  // lower case
};

// In order of precedence: the first cause any message names is the one told.
constexpr std::array kCauseWords{
    CauseWord{RcloneProblem::kDiskFull, "no space left on device"},
    CauseWord{RcloneProblem::kDiskFull, "not enough space"},
    CauseWord{RcloneProblem::kQuota, "quota exceeded"},
    CauseWord{RcloneProblem::kQuota, "quotaexceeded"},
    CauseWord{RcloneProblem::kQuota, "quota has been exceeded"},
    CauseWord{RcloneProblem::kQuota, "over quota"},
    CauseWord{RcloneProblem::kQuota, "insufficient storage"},
    CauseWord{RcloneProblem::kQuota, "insufficientstorage"},
    CauseWord{RcloneProblem::kSignIn, "unauthorized"},
    CauseWord{RcloneProblem::kSignIn, "forbidden"},
    CauseWord{RcloneProblem::kSignIn, "error 401"},
    CauseWord{RcloneProblem::kSignIn, "error 403"},
    CauseWord{RcloneProblem::kSignIn, "accessdenied"},
    CauseWord{RcloneProblem::kSignIn, "access denied"},
    CauseWord{RcloneProblem::kSignIn, "invalid_grant"},
    CauseWord{RcloneProblem::kSignIn, "authentication failed"},
    CauseWord{RcloneProblem::kSignIn, "unable to authenticate"},
    CauseWord{RcloneProblem::kSignIn, "invalidaccesskeyid"},
    CauseWord{RcloneProblem::kSignIn, "signaturedoesnotmatch"},
    CauseWord{RcloneProblem::kUnreachable, "connection refused"},
    CauseWord{RcloneProblem::kUnreachable, "no such host"},
    CauseWord{RcloneProblem::kUnreachable, "network is unreachable"},
    CauseWord{RcloneProblem::kUnreachable, "no route to host"},
    CauseWord{RcloneProblem::kUnreachable, "i/o timeout"},
    CauseWord{RcloneProblem::kUnreachable, "connection reset"},
    CauseWord{RcloneProblem::kUnreachable, "couldn't connect"},
    CauseWord{RcloneProblem::kSourceMissing, "directory not found"},
};

constexpr std::string_view kFilesSafe =
    " Your files are safe: the source still holds every file that was not copied and checked.";
constexpr std::string_view kAgainSkips =
    " start the transfer again; files already copied are skipped.";

// "the account backup", or the side itself when neither side is remote.
std::string accountOf(const TransferSides& sides) {
  const auto remote = remoteNameOf(sides.destination);
  const auto other = remote ? remote : remoteNameOf(sides.source);
  return other ? "the account " + *other : "the destination " + sides.destination;
}

}  // namespace

std::optional<RcloneProblem> rcloneProblemIn(const std::vector<std::string>& messages) {
  std::vector<std::string> lowered;
  for (const auto& m : messages) lowered.push_back(asciiLower(m));
  for (const auto& [cause, word] : kCauseWords) {
    for (const auto& m : lowered) {
      if (m.find(word) != std::string::npos) return cause;
    }
  }
  return std::nullopt;
}

std::string rcloneProblemSentence(RcloneProblem cause, const TransferSides& sides) {
  const std::string safe(kFilesSafe);
  switch (cause) {
    case RcloneProblem::kDiskFull:
      return "The disk of " + sides.destination + " is full, so the transfer stopped partway." +
             safe + " Free some space there or choose another destination, then" +
             std::string(kAgainSkips);
    case RcloneProblem::kQuota:
      return "The storage of " + accountOf(sides) +
             " is used up (its quota is exceeded), so the transfer stopped partway." + safe +
             " Free space in that account or choose another destination, then" +
             std::string(kAgainSkips);
    case RcloneProblem::kSignIn:
      return "The server refused access to " + accountOf(sides) +
             " (its password, key or sign-in was not accepted, or it may not use this folder)." +
             safe +
             " Renew the account's sign-in or key (`brimvale remotes test NAME` shows whether it "
             "answers), then" +
             std::string(kAgainSkips);
    case RcloneProblem::kUnreachable:
      return "The server of " + accountOf(sides) +
             " could not be reached (the connection was refused or timed out, or its host name "
             "is unknown)." +
             safe + " Check the network connection and the account's server address, then" +
             std::string(kAgainSkips);
    case RcloneProblem::kSourceMissing:
      return "The source " + sides.source +
             " could not be found, so nothing was transferred and nothing was changed. Check the "
             "path, and that the drive or account holding it is connected, then start the "
             "transfer again.";
  }
  return {};
}

namespace {

// rclone's documented exit statuses.
std::string statusSentence(int status, const std::vector<std::string>& messages,
                           const TransferSides& sides) {
  const std::string safe(kFilesSafe);
  const std::string again(kAgainSkips);
  switch (status) {
    case 1:
      return "rclone refused this transfer's settings (a path, remote name or bandwidth limit it "
             "cannot use), so nothing was transferred." +
             safe + " Check the source, the destination and the bandwidth limit, then try again.";
    case 3: return rcloneProblemSentence(RcloneProblem::kSourceMissing, sides);
    case 4:
      return "A file of " + sides.source +
             " disappeared while it was being copied (it was probably moved or deleted "
             "meanwhile)." +
             safe + " To copy what is there now," + again;
    case 5:
      return "The transfer stopped on a temporary error of the network or the account's "
             "service." +
             safe + " Wait a few minutes, then" + again;
    case 6:
      return "Some files could not be transferred; the others were." + safe +
             " Read the log lines below, then" + again;
    case 7:
      return "The account refused the transfer for good (for example, it is suspended or "
             "blocked)." +
             safe + " Check the account with its provider before trying again.";
    case 8: return "The transfer stopped at its transfer limit." + safe + " To go on," + again;
    case 9: return "rclone found nothing to transfer, so nothing was changed.";
    default: break;
  }
  const bool notStarted =
      status == -1 && !messages.empty() && messages.back().starts_with(kLaunchFailedPrefix);
  if (notStarted) {
    return "rclone could not be started, so nothing was transferred." + safe +
           " Check that rclone works (rclone version), then try again.";
  }
  if (status < 0) return "rclone was stopped before it finished." + safe + " To go on," + again;
  return "The transfer stopped on an error rclone could not name." + safe +
         " Read the log lines below, then" + again;
}

}  // namespace

std::string rcloneFailureSentence(int status, const std::vector<std::string>& messages,
                                  const TransferSides& sides) {
  if (const auto cause = rcloneProblemIn(messages)) return rcloneProblemSentence(*cause, sides);
  return statusSentence(status, messages, sides);
}

std::string jobFailureText(int status, const std::vector<std::string>& messages,
                           const TransferSides& sides) {
  std::string tail;
  const std::size_t first = messages.size() > 5 ? messages.size() - 5 : 0;
  for (std::size_t i = first; i < messages.size(); ++i) {
    tail += (i == first ? "" : "\n") + messages[i];
  }
  const std::string generic =
      "rclone exited with code " + std::to_string(status) + ". Last log lines:\n" + tail;
  bool missingBucket = false;
  for (const auto& line : messages) {
    if (line.find("NoSuchBucket") != std::string::npos) missingBucket = true;
  }
  const std::string& destination = sides.destination;
  const auto colon = destination.find(':');
  if (!missingBucket || colon == std::string::npos) {
    return rcloneFailureSentence(status, messages, sides) + "\n\n" + generic;
  }

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
