#include "app/transfers_command.h"

#include "app/transfer_schedule_command.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "cloud/rclone_client.h"
#include "cloud/rclone_helper.h"
#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {

namespace {

using cloud::JobState;
using cloud::SyncJob;
using nlohmann::json;

constexpr std::size_t kBarWidth = 20;
constexpr std::size_t kShortId = 8;
// How often a plain (non-terminal) output gets a progress line.
constexpr auto kPlainLineEvery = std::chrono::seconds(5);

std::string modeWord(cloud::JobMode mode) {
  return mode == cloud::JobMode::kSyncOneWay ? "sync" : std::string(cloud::jobModeName(mode));
}

// The job whose id starts with `prefix` (any case); none when no job or
// more than one does.
const SyncJob* jobWithPrefix(const std::vector<SyncJob>& jobs, const std::string& prefix) {
  std::string upper = prefix;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  const SyncJob* found = nullptr;
  for (const auto& job : jobs) {
    if (upper.empty() || !job.id.starts_with(upper)) continue;
    if (found) return nullptr;
    found = &job;
  }
  return found;
}

int listJobs(TransfersCommandContext& c, const TransfersOptions& o, bool finishedOnly) {
  auto jobs = cloud::JobListFile(c.jobsFile).load();
  if (!jobs) {
    c.err << jobs.error().message() << " Your transfers are unchanged.\n";
    return 1;
  }
  std::vector<SyncJob> shown;
  for (const auto& job : *jobs) {
    if (!finishedOnly || cloud::isFinished(job.state)) shown.push_back(job);
  }
  if (finishedOnly) {
    // Newest first: what the user just did is what they look for.
    std::stable_sort(shown.begin(), shown.end(), [](const SyncJob& a, const SyncJob& b) {
      return a.completedAt.value_or(0) > b.completedAt.value_or(0);
    });
  }
  if (o.json) {
    json list = json::array();
    for (const auto& job : shown) {
      list.push_back(cloud::encodeSyncJob(job));
      if (const auto next = jobNextRun(job)) list.back()["nextRunAt"] = isots(*next);
    }
    c.out << list.dump(2) << "\n";
    return 0;
  }
  if (shown.empty()) {
    c.out << (finishedOnly ? "No transfer has finished yet.\n" : "No transfers.\n");
    return 0;
  }
  for (const auto& job : shown) {
    if (finishedOnly && job.completedAt) c.out << ts(*job.completedAt) << "  ";
    c.out << transferListLine(job) << scheduleListSuffix(job, systemClock()()) << "\n";
  }
  return 0;
}

int cancelJob(TransfersCommandContext& c, const TransfersOptions& o) {
  if (o.words.size() != 1) {
    c.err << "Say which transfer to cancel: brimvale transfers cancel ID. Nothing was changed.\n";
    return 2;
  }
  cloud::JobListFile file(c.jobsFile);
  auto jobs = file.load();
  if (!jobs) {
    c.err << jobs.error().message() << " Nothing was cancelled.\n";
    return 1;
  }
  const SyncJob* found = jobWithPrefix(*jobs, o.words[0]);
  if (!found) {
    c.err << "No single transfer has an id starting with " << o.words[0]
          << " (see brimvale transfers list). Nothing was cancelled.\n";
    return 1;
  }
  SyncJob& job = *std::find_if(jobs->begin(), jobs->end(),
                               [&](const SyncJob& j) { return j.id == found->id; });
  if (cloud::isFinished(job.state)) {
    c.err << "That transfer has already ended (" << cloud::jobStateLabel(job.state)
          << "). Nothing was changed.\n";
    return 1;
  }
  if (job.state == JobState::kWaitingForDrive) job.errorMessage = cloud::kCancelledWhileWaiting;
  job.state = JobState::kCanceled;
  job.completedAt = std::time(nullptr);
  if (auto saved = file.save(*jobs); !saved) {
    c.err << saved.error().message() << " The transfer was not cancelled.\n";
    return 1;
  }
  c.out << cloud::kTransferCancelled << " No file was deleted.\n";
  return 0;
}

int newJob(TransfersCommandContext& c, const TransfersOptions& o) {
  if (o.words.size() != 2) {
    c.err << "Give a source and a destination: brimvale transfers new SRC DST --mode copy. "
             "Nothing was started.\n";
    return 2;
  }
  auto mode = jobModeFromWord(o.mode);
  if (!mode) {
    c.err << "The mode must be copy, move, sync or bisync, not " << o.mode
          << ". Nothing was started.\n";
    return 2;
  }
  if (!c.rclone) {
    c.err << cloud::kRcloneNotInstalled << ". Nothing was started.\n";
    return 1;
  }
  SyncJob job = cloud::newSyncJob(o.words[0], o.words[1], *mode, std::time(nullptr));
  job.dryRun = o.dryRun;
  job.bisyncResync = o.resync && *mode == cloud::JobMode::kBisync;
  if (!o.bandwidthLimit.empty()) job.bandwidthLimit = o.bandwidthLimit;

  cloud::RcloneClient client(c.rclone);
  transfers::TransferEventStore events(c.stateDir);
  std::vector<std::string> notices;
  bool barShown = false;
  const auto endBar = [&] {
    if (barShown) c.out << "\n";
    barShown = false;
  };
  cloud::SyncManager manager({
      .jobsFile = c.jobsFile,
      .rclone = c.rclone,
      .client = &client,
      .remoteType = [&client](const std::string& remote) -> std::optional<std::string> {
        auto listing = client.run({"listremotes", "--long"});
        if (!listing || listing->status != 0) return std::nullopt;
        for (const auto& r : cloud::parseRemoteListing(listing->out)) {
          if (r.name == remote) return r.type;
        }
        return std::nullopt;
      },
      .drive = [&c] { return c.drive; },
      .notify = [&](const std::string& text) { notices.push_back(text); },
      .log =
          [&](const std::string& id, const std::string& line) {
            // rclone's own lines stay out of the way of the progress line;
            // the purge steps and list-saving trouble are the user's business.
            const bool purgeStep = id == job.id && (line.starts_with(cloud::kPurgeStartPrefix) ||
                                                    line.starts_with(cloud::kPurgeFailedPrefix) ||
                                                    line == cloud::kPurgeSucceeded);
            if (purgeStep || id.empty()) {
              endBar();
              c.out << line << "\n";
            }
          },
      .events = &events,
      .mayStart = [&](const SyncJob& queued) { return queued.id == job.id; },
  });
  if (auto loaded = manager.load(); !loaded) {
    c.err << loaded.error().message() << " Nothing was started.\n";
    return 1;
  }
  const std::string id = manager.enqueue(job);
  if (c.pairs) {
    if (auto recorded = c.pairs->recordUse(job.source, job.destination, pairKindOf(job.mode));
        !recorded) {
      c.err << "Couldn't add this pair to the recent pairs: " << recorded.error().message()
            << " The transfer is not affected.\n";
    }
  }
  const auto state = [&] { return manager.find(id)->state; };
  if (state() == JobState::kWaitingForDrive) {
    c.out << "The transfer needs the fast drive, which isn't connected. It is saved as waiting "
             "(id "
          << id.substr(0, kShortId) << ") and starts when Brimvale sees the drive again.\n";
    return 0;
  }
  c.out << (job.dryRun ? "Previewing " : "Starting ") << cloud::jobModeLabel(job.mode) << ": "
        << job.source << " → " << job.destination << " (id " << id.substr(0, kShortId)
        << "). Ctrl-C cancels.\n";

  std::optional<std::chrono::steady_clock::time_point> lastPlain;
  bool cancelRequested = false;
  while (cloud::isActive(state())) {
    manager.waitForActivity(std::chrono::milliseconds(200));
    if (c.interrupted && c.interrupted->load() && !cancelRequested) {
      cancelRequested = true;
      (void)manager.cancel(id);
      break;
    }
    if (!manager.poll() || !cloud::isActive(state())) continue;
    const std::string line = transferProgressLine(manager.find(id)->progress);
    if (c.output == OutputKind::kTerminal) {
      c.out << "\r\033[K" << line << std::flush;
      barShown = true;
    } else if (const auto now = std::chrono::steady_clock::now();
               !lastPlain || now - *lastPlain >= kPlainLineEvery) {
      c.out << line << "\n";
      lastPlain = now;
    }
  }
  endBar();
  const SyncJob& done = *manager.find(id);
  switch (done.state) {
    case JobState::kCompleted:
      for (const auto& notice : notices) c.out << notice << "\n";
      return 0;
    case JobState::kCanceled:
      c.out << cloud::kTransferCancelled
            << " Files already copied stay at the destination; the source is untouched.\n";
      return 1;
    default:
      c.err << cloud::kTransferFailed << " " << done.errorMessage.value_or("") << "\n";
      return 1;
  }
}

}  // namespace

std::optional<cloud::JobMode> jobModeFromWord(std::string_view word) {
  if (word == "sync") return cloud::JobMode::kSyncOneWay;
  if (word == "sync_one_way") return std::nullopt;  // the stored name, not a word to type
  return cloud::jobModeNamed(word);
}

cloud::PairKind pairKindOf(cloud::JobMode mode) {
  switch (mode) {
    case cloud::JobMode::kCopy: return cloud::PairKind::kCopy;
    case cloud::JobMode::kMove: return cloud::PairKind::kMove;
    case cloud::JobMode::kSyncOneWay:
    case cloud::JobMode::kBisync: return cloud::PairKind::kSync;
  }
  return cloud::PairKind::kPair;
}

int pairsCommand(cloud::PairHistory& history, std::ostream& out, std::ostream& err, bool asJson) {
  auto pairs = history.load();
  if (!pairs) {
    err << pairs.error().message() << " The recent pairs were left as they are.\n";
    return 1;
  }
  if (asJson) {
    json list = json::array();
    for (const auto& p : *pairs) {
      list.push_back({{"leftPath", p.leftPath},
                      {"rightPath", p.rightPath},
                      {"lastUsedAt", isots(p.lastUsedAt)},
                      {"isPinned", p.isPinned},
                      {"kind", rawNameOf(cloud::kPairKindNames, p.kind)}});
    }
    out << list.dump(2) << "\n";
    return 0;
  }
  if (pairs->empty()) {
    out << "No pairs used yet.\n";
    return 0;
  }
  for (const auto& p : *pairs) {
    out << (p.isPinned ? "pinned  " : "") << rawNameOf(cloud::kPairKindNames, p.kind) << "  "
        << p.leftPath << " → " << p.rightPath << "  last used " << ts(p.lastUsedAt) << "\n";
  }
  return 0;
}

std::string transferProgressLine(const cloud::JobProgress& p) {
  const double fraction =
      p.bytesTotal > 0
          ? std::clamp(static_cast<double>(p.bytesTransferred) / p.bytesTotal, 0.0, 1.0)
          : 0.0;
  std::string bar(static_cast<std::size_t>(fraction * kBarWidth), '#');
  bar.resize(kBarWidth, '-');
  std::string line = "[" + bar + "] " + std::to_string(static_cast<int>(fraction * 100)) + "% · " +
                     platform::formatFileByteCount(p.bytesTransferred);
  if (p.bytesTotal > 0) line += " of " + platform::formatFileByteCount(p.bytesTotal);
  line += " · " +
          groupedCount(static_cast<std::uint64_t>(std::max<std::int64_t>(0, p.filesTransferred)));
  if (p.filesTotal > 0) line += " of " + groupedCount(static_cast<std::uint64_t>(p.filesTotal));
  line += p.filesTotal == 1 ? " file" : " files";
  if (p.speedBytesPerSec > 0) {
    line += " · " + platform::formatFileByteCount(std::llround(p.speedBytesPerSec)) + "/s";
  }
  if (p.etaSeconds) line += " · " + timeLeftText(std::llround(*p.etaSeconds));
  if (p.currentFile) line += " · " + *p.currentFile;
  if (p.errors > 0) {
    line += " · " + std::to_string(p.errors) + (p.errors == 1 ? " error" : " errors");
  }
  return line;
}

std::string transferListLine(const SyncJob& job) {
  std::string line = job.id.substr(0, kShortId) + "  " +
                     std::string(cloud::jobStateLabel(job.state)) + "  " + modeWord(job.mode) +
                     (job.dryRun ? " (dry run)" : "") + "  " + job.source + " → " + job.destination;
  if (job.state == JobState::kCompleted && job.progress.bytesTransferred > 0) {
    line += "  " + platform::formatFileByteCount(job.progress.bytesTransferred);
  }
  if (job.errorMessage) {
    // Only the first line: the full log tail is in the JSON form.
    line += "  — " + job.errorMessage->substr(0, job.errorMessage->find('\n'));
  }
  return line;
}

int transfersCommand(TransfersCommandContext& context, const TransfersOptions& options) {
  const std::string& action = options.action;
  if (action.empty() || action == "list") return listJobs(context, options, false);
  if (action == "history") return listJobs(context, options, true);
  if (options.json) {
    context.err << "--json goes with `transfers list` and `transfers history` only. Nothing was "
                   "changed.\n";
    return 2;
  }
  if (action == "new") return newJob(context, options);
  if (action == "cancel") return cancelJob(context, options);
  if (action == "schedule") {
    return scheduleTransferCommand(context.jobsFile, options.words, systemClock()(), context.out,
                                   context.err);
  }
  context.err << "Unknown transfers action " << action
              << ": use list, new, cancel, schedule or history. Nothing was changed.\n";
  return 2;
}

}  // namespace brimvale::app
