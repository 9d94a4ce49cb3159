#include "app/core/transfers_command.h"

#include "app/core/json_output.h"

#include "app/core/short_id.h"
#include "app/core/transfer_schedule_command.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <thread>

#include "cloud/job_runs.h"
#include "cloud/rclone_client.h"
#include "cloud/rclone_helper.h"
#include "cloud/transfer_anchor.h"
#include "common/base/timestamps.h"
#include "common/state/configured_drive.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {

namespace {

using cloud::JobState;
using cloud::SyncJob;
using nlohmann::json;

constexpr std::size_t kTransferBarWidth = 20;
// How often a plain (non-terminal) output gets a progress line.
constexpr auto kPlainLineEvery = std::chrono::seconds(5);

std::string modeWord(cloud::JobMode mode) {
  return mode == cloud::JobMode::kSyncOneWay ? "sync" : std::string(cloud::jobModeName(mode));
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
    c.out << versionedText(list);
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

// What a foreground run prints besides its progress line.
struct Foreground {
  std::ostream& out;
  bool barShown = false;
  std::vector<std::string> notices;
  bool purgeFailed = false;                // the source asked to be purged was (partly) kept
  std::vector<cloud::DryRunItem> preview;  // what a dry run would have changed
  void endBar() {
    if (barShown) out << "\n";
    barShown = false;
  }
};

std::optional<std::string> remoteTypeOf(const cloud::RcloneClient& client,
                                        const std::string& remote) {
  auto listing = client.run({"listremotes", "--long"});
  if (!listing || listing->status != 0) return std::nullopt;
  for (const auto& r : cloud::parseRemoteListing(listing->out)) {
    if (r.name == remote) return r.type;
  }
  return std::nullopt;
}

// A manager over the shared list that starts only the job `runHere` (none:
// this process runs nothing and only records requests).
cloud::SyncManagerSetup managerSetup(TransfersCommandContext& c, const cloud::RcloneClient& client,
                                     transfers::TransferEventStore* events, Foreground& shown,
                                     std::string runHere) {
  return {
      .jobsFile = c.jobsFile,
      .rclone = c.rclone,
      .run = c.runner,
      .client = &client,
      .deletable = c.deletable,
      .remoteType = [&client](const std::string& remote) { return remoteTypeOf(client, remote); },
      .drive = [&c] { return c.drive; },
      .notify = [&shown](const std::string& text) { shown.notices.push_back(text); },
      .log =
          [&shown, runHere](const std::string& id, const std::string& line) {
            if (auto item = cloud::parseDryRunLine(line); item && id == runHere) {
              shown.preview.push_back(std::move(*item));
              return;
            }
            // rclone's own lines stay out of the way of the progress line;
            // the purge steps and list-saving trouble are the user's business.
            const bool purgeStep = id == runHere && (line.starts_with(cloud::kPurgeStartPrefix) ||
                                                     line.starts_with(cloud::kPurgeFailedPrefix) ||
                                                     line == cloud::kPurgeSucceeded);
            if (purgeStep || id.empty()) {
              shown.purgeFailed |= purgeStep && line.starts_with(cloud::kPurgeFailedPrefix);
              shown.endBar();
              shown.out << line << "\n";
            }
          },
      .events = events,
      .mayStart = [runHere](const SyncJob& queued) { return queued.id == runHere; },
  };
}

// The transfer list under a manager that starts nothing, for the actions
// that only change it.
struct ListManager {
  explicit ListManager(TransfersCommandContext& c)
      : context(c),
        client(c.rclone, c.runner),
        shown{c.out},
        manager(managerSetup(c, client, nullptr, shown, "")) {}
  // False, after saying why and that `nothingDone`, when the list cannot be read.
  bool load(std::string_view nothingDone) {
    auto loaded = manager.load();
    if (!loaded) context.err << loaded.error().message() << " " << nothingDone << "\n";
    return static_cast<bool>(loaded);
  }
  TransfersCommandContext& context;
  cloud::RcloneClient client;
  Foreground shown;
  cloud::SyncManager manager;
};

// A job waiting for the drive: saved to start later (0), or stopped because
// the drive went away mid-way, which did not transfer everything (1).
int waitingForDrive(TransfersCommandContext& c, const SyncJob& job) {
  if (job.errorMessage) {
    c.err << cloud::kTransferFailed << " " << *job.errorMessage << "\n";
    return 1;
  }
  c.out << "The transfer needs the fast drive, which isn't connected. It is saved as waiting "
           "(id "
        << shortId(job.id) << ") and starts when Brimvale sees the drive again.\n";
  return 0;
}

// Draws the progress of a job until it ends; `progress` gives the newest
// figures and whether they changed since the last call.
class ProgressDisplay {
 public:
  ProgressDisplay(TransfersCommandContext& c, Foreground& shown) : c_(c), shown_(shown) {}
  void show(const cloud::JobProgress& progress) {
    const std::string line = transferProgressLine(progress);
    if (c_.output == OutputKind::kTerminal) {
      c_.out << "\r\033[K" << line << std::flush;
      shown_.barShown = true;
    } else if (const auto now = std::chrono::steady_clock::now();
               line != lastLine_ && (!lastPlain_ || now - *lastPlain_ >= kPlainLineEvery)) {
      c_.out << line << "\n";
      lastPlain_ = now;
      lastLine_ = line;
    }
  }
  // A sentence about the job's state, printed once until the state changes.
  void say(JobState state, const std::string& sentence) {
    if (said_ == state) return;
    said_ = state;
    shown_.endBar();
    c_.out << sentence << "\n";
  }
  void clearSaid() { said_.reset(); }

 private:
  TransfersCommandContext& c_;
  Foreground& shown_;
  std::optional<std::chrono::steady_clock::time_point> lastPlain_;
  std::string lastLine_;
  std::optional<JobState> said_;
};

// What a dry run would have done, file by file in name order (rclone reports them as its
// transfers finish), with the totals per action.
void printPreview(std::ostream& out, std::vector<cloud::DryRunItem> items) {
  std::stable_sort(
      items.begin(), items.end(),
      [](const cloud::DryRunItem& a, const cloud::DryRunItem& b) { return a.name < b.name; });
  if (items.empty()) {
    out << "Nothing would be transferred: the destination already matches the source.\n";
    return;
  }
  std::vector<std::string> actions;
  for (const auto& item : items) {
    if (std::find(actions.begin(), actions.end(), item.action) == actions.end())
      actions.push_back(item.action);
  }
  for (const auto& action : actions) {
    std::size_t count = 0;
    std::int64_t bytes = 0;
    std::string lines;
    for (const auto& item : items) {
      if (item.action != action) continue;
      ++count;
      bytes += item.size;
      lines += "  " + item.name + " (" + platform::formatFileByteCount(item.size) + ")\n";
    }
    out << "Would " << action << " " << groupedCount(count) << (count == 1 ? " file" : " files")
        << " (" << platform::formatFileByteCount(bytes) << "):\n"
        << lines;
  }
}

std::string pausedHereSentence(const std::string& id) {
  return "Paused from another window. `brimvale transfers resume " + shortId(id) +
         "` continues it here; Ctrl-C cancels it.";
}

// Runs job `id` in this process until it ends. The exit status of the command.
int runHere(TransfersCommandContext& c, cloud::SyncManager& manager, const std::string& id,
            Foreground& shown) {
  const auto state = [&] { return manager.find(id)->state; };
  ProgressDisplay display(c, shown);
  bool cancelRequested = false;
  while (!cloud::isFinished(state())) {
    manager.waitForActivity(std::chrono::milliseconds(200));
    if (c.interrupted && c.interrupted->load() && !cancelRequested) {
      cancelRequested = true;
      (void)manager.cancel(id);  // the state read below says how the job ended
      break;
    }
    const bool changed = manager.poll();
    switch (state()) {
      case JobState::kPaused: display.say(JobState::kPaused, pausedHereSentence(id)); continue;
      case JobState::kQueued:
        display.say(JobState::kQueued,
                    "Queued behind the transfers already running; it starts when one of them "
                    "ends. Ctrl-C cancels it.");
        continue;
      case JobState::kWaitingForDrive: shown.endBar(); return waitingForDrive(c, *manager.find(id));
      default: break;
    }
    display.clearSaid();
    if (changed && cloud::isActive(state())) display.show(manager.find(id)->progress);
  }
  shown.endBar();
  const SyncJob& done = *manager.find(id);
  switch (done.state) {
    case JobState::kCompleted:
      if (done.dryRun) printPreview(c.out, shown.preview);
      for (const auto& notice : shown.notices) c.out << notice << "\n";
      return shown.purgeFailed ? 1 : 0;
    case JobState::kCanceled:
      c.out << cloud::kTransferCancelled
            << " Files already copied stay at the destination; the source is untouched.\n";
      return 1;
    default:
      c.err << cloud::kTransferFailed << " " << done.errorMessage.value_or("") << "\n";
      return 1;
  }
}

// The full id of the one job whose id starts with the word given, or nothing
// after saying why (`what` is the sentence's ending, e.g. "Nothing was cancelled.").
std::optional<std::string> jobIdFromWords(TransfersCommandContext& c, const TransfersOptions& o,
                                          const std::string& verb, const std::string& what) {
  if (o.words.size() != 1) {
    c.err << "Say which transfer to " << verb << ": brimvale transfers " << verb << " ID. " << what
          << "\n";
    return std::nullopt;
  }
  auto jobs = cloud::JobListFile(c.jobsFile).load();
  if (!jobs) {
    c.err << jobs.error().message() << " " << what << "\n";
    return std::nullopt;
  }
  const SyncJob* found = cloud::jobWithPrefix(*jobs, o.words[0]);
  if (!found) {
    c.err << "No single transfer has an id starting with " << o.words[0]
          << " (see brimvale transfers list). " << what << "\n";
    return std::nullopt;
  }
  return found->id;
}

int cancelWaitingForDrive(TransfersCommandContext& c, const TransfersOptions& o) {
  if (!o.words.empty()) {
    c.err << "Give either a transfer's id or --waiting-for-drive, not both. Nothing was "
             "cancelled.\n";
    return 2;
  }
  ListManager list(c);
  if (!list.load("Nothing was cancelled.")) return 1;
  cloud::SyncManager& manager = list.manager;
  const std::size_t cancelled = manager.cancelAllWaitingForDrive();
  auto after = cloud::JobListFile(c.jobsFile).load();
  if (!after || std::any_of(after->begin(), after->end(), [](const SyncJob& job) {
        return job.state == JobState::kWaitingForDrive;
      })) {
    c.err << "Some transfers are still waiting for the drive: the transfer list could not be "
             "saved. No file was deleted; try again.\n";
    return 1;
  }
  if (cancelled == 0) {
    c.out << "No transfer is waiting for the drive, so nothing was cancelled.\n";
    return 0;
  }
  c.out << "Cancelled " << cancelled
        << (cancelled == 1 ? " transfer that was" : " transfers that were")
        << " waiting for the drive. No file was deleted.\n";
  return 0;
}

// `transfers clear`: the finished transfers leave the list; a scheduled one
// stays, since its runs are copied from it.
int clearFinished(TransfersCommandContext& c, const TransfersOptions& o) {
  if (!o.words.empty()) {
    c.err << "`brimvale transfers clear` takes no id: it removes every finished transfer. Nothing "
             "was removed.\n";
    return 2;
  }
  ListManager list(c);
  if (!list.load("Nothing was removed.")) return 1;
  cloud::SyncManager& manager = list.manager;
  const auto removed = manager.removeFinished();
  auto after = cloud::JobListFile(c.jobsFile).load();
  if (!after || std::any_of(after->begin(), after->end(), [&](const SyncJob& job) {
        return std::find(removed.begin(), removed.end(), job.id) != removed.end();
      })) {
    c.err << "The finished transfers are still listed: the transfer list could not be saved. No "
             "file was deleted; try again.\n";
    return 1;
  }
  if (removed.empty()) {
    c.out << "No finished transfer to remove.\n";
    return 0;
  }
  c.out << "Removed " << removed.size()
        << (removed.size() == 1 ? " finished transfer" : " finished transfers")
        << " from the list. No file was deleted; scheduled transfers stay.\n";
  return 0;
}

int cancelJob(TransfersCommandContext& c, const TransfersOptions& o) {
  if (o.waitingForDrive) return cancelWaitingForDrive(c, o);
  const auto id = jobIdFromWords(c, o, "cancel", "Nothing was cancelled.");
  if (!id) return o.words.size() != 1 ? 2 : 1;
  ListManager list(c);
  if (!list.load("Nothing was cancelled.")) return 1;
  cloud::SyncManager& manager = list.manager;
  if (const SyncJob* job = manager.find(*id); job && cloud::isFinished(job->state)) {
    c.err << "That transfer has already ended (" << cloud::jobStateLabel(job->state)
          << "). Nothing was changed.\n";
    return 1;
  }
  if (auto cancelled = manager.cancel(*id); !cancelled) {
    c.err << cancelled.error().detail << " Nothing was changed.\n";
    return 1;
  }
  c.out << cloud::kTransferCancelled << " No file was deleted.\n";
  return 0;
}

// Waits a little for the process running `id` to suspend its rclone (the
// process its run record names, while that record's owner lives).
bool ownerStopped(const cloud::JobRunFiles& runs, const std::string& id) {
  for (int i = 0; i < 50; ++i) {
    auto run = runs.liveRun(id);
    if (!run || run->rclonePid == 0 || cloud::processSuspended(run->rclonePid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int pauseJob(TransfersCommandContext& c, const TransfersOptions& o) {
  const auto id = jobIdFromWords(c, o, "pause", "Nothing was paused.");
  if (!id) return o.words.size() != 1 ? 2 : 1;
  ListManager list(c);
  if (!list.load("Nothing was paused.")) return 1;
  cloud::SyncManager& manager = list.manager;
  if (auto paused = manager.pause(*id); !paused) {
    c.err << paused.error().detail << " Nothing was changed.\n";
    return 1;
  }
  const auto runs = cloud::JobRunFiles::besideJobList(c.jobsFile);
  if (!ownerStopped(runs, *id)) {
    c.out << "The pause is recorded, but the Brimvale process running this transfer has not "
             "suspended rclone yet; it does when it next checks. No file was deleted.\n";
    return 0;
  }
  c.out << "Paused " << shortId(*id) << ". No file was deleted; `brimvale transfers "
        << "resume " << shortId(*id) << "` continues it.\n";
  return 0;
}

int watchJob(TransfersCommandContext& c, const TransfersOptions& o);

int resumeJob(TransfersCommandContext& c, const TransfersOptions& o) {
  const auto id = jobIdFromWords(c, o, "resume", "Nothing was resumed.");
  if (!id) return o.words.size() != 1 ? 2 : 1;
  if (!c.rclone) {
    c.err << cloud::kRcloneNotInstalled << ". Nothing was resumed.\n";
    return 1;
  }
  const auto runs = cloud::JobRunFiles::besideJobList(c.jobsFile);
  const auto owner = runs.liveRun(*id);
  // The state as it is now, before a manager of this process starts anything.
  auto listed = cloud::JobListFile(c.jobsFile).load();
  const SyncJob* before = listed ? cloud::jobWithPrefix(*listed, *id) : nullptr;
  const JobState was = before ? before->state : JobState::kCanceled;
  if (was != JobState::kPaused && was != JobState::kQueued) {
    if (cloud::isActive(was)) {
      // Followed to its end, so the exit status says how it ended.
      c.out << "That transfer is already running; following it here (Ctrl-C stops watching, "
               "not the transfer).\n";
      return watchJob(c, o);
    }
    c.err << "Only a paused transfer can be resumed; this one is " << cloud::jobStateLabel(was)
          << ". Nothing was changed.\n";
    return 1;
  }
  if (was == JobState::kQueued && owner) {
    // Followed like a running one: exiting 0 now would claim a transfer that has not happened.
    c.out << "That transfer is queued in another Brimvale process (process " << owner->ownerPid
          << "), which starts it when a running transfer ends; following it here (Ctrl-C stops "
             "watching, not the transfer).\n";
    return watchJob(c, o);
  }
  cloud::RcloneClient client(c.rclone, c.runner);
  transfers::TransferEventStore events(c.stateDir);
  Foreground shown{c.out};
  // A process still waiting for this job runs it again; otherwise this one does.
  cloud::SyncManager manager(managerSetup(c, client, &events, shown, owner ? "" : *id));
  if (auto loaded = manager.load(); !loaded) {
    c.err << loaded.error().message() << " Nothing was resumed.\n";
    return 1;
  }
  if (was == JobState::kPaused) {
    if (auto resumed = manager.resume(*id); !resumed) {
      c.err << resumed.error().detail << " Nothing was changed.\n";
      return 1;
    }
  }
  if (owner) {
    c.out << "Resumed " << shortId(*id) << "; the Brimvale process that started it (process "
          << owner->ownerPid << ") runs it again. `brimvale transfers watch " << shortId(*id)
          << "` shows its progress.\n";
    return 0;
  }
  c.out << "Resuming " << shortId(*id) << " here. Ctrl-C cancels.\n";
  return runHere(c, manager, *id, shown);
}

int watchJob(TransfersCommandContext& c, const TransfersOptions& o) {
  const auto id = jobIdFromWords(c, o, "watch", "Nothing to watch.");
  if (!id) return o.words.size() != 1 ? 2 : 1;
  cloud::JobListFile file(c.jobsFile);
  const auto runs = cloud::JobRunFiles::besideJobList(c.jobsFile);
  Foreground shown{c.out};
  ProgressDisplay display(c, shown);
  const std::string brief = shortId(*id);
  for (;;) {
    if (c.interrupted && c.interrupted->load()) {
      shown.endBar();
      c.out << "Stopped watching; the transfer itself goes on.\n";
      return 0;
    }
    auto jobs = file.load();
    if (!jobs) {
      shown.endBar();
      c.err << jobs.error().message() << " The transfer itself is not affected.\n";
      return 1;
    }
    auto it =
        std::find_if(jobs->begin(), jobs->end(), [&](const SyncJob& j) { return j.id == *id; });
    if (it == jobs->end()) {
      shown.endBar();
      c.err << "Transfer " << brief << " was removed from the list while being watched.\n";
      return 1;
    }
    if (cloud::isFinished(it->state)) {
      display.show(it->progress);
      shown.endBar();
      c.out << transferListLine(*it) << "\n";
      if (it->state != JobState::kCompleted) return 1;
      // A copy that was to purge its source completes even when the purge
      // kept the source; the process that ran it said why.
      std::error_code ec;
      if (it->postSuccessAction == cloud::PostSuccessAction::kPurgeSource &&
          std::filesystem::exists(std::filesystem::symlink_status(it->source, ec))) {
        c.out << "The copy finished, but its source " << it->source
              << " was kept, not deleted. Nothing of it was lost; `brimvale transfers history` "
                 "shows the transfer.\n";
        return 1;
      }
      return 0;
    }
    const auto run = runs.liveRun(*id);
    switch (it->state) {
      case JobState::kPaused:
        display.say(JobState::kPaused,
                    "Paused. `brimvale transfers resume " + brief + "` continues it.");
        break;
      case JobState::kWaitingForDrive:
        display.say(JobState::kWaitingForDrive,
                    "Waiting for the fast drive; it starts when Brimvale sees the drive again.");
        break;
      case JobState::kQueued:
        if (!run) {
          shown.endBar();
          c.out << "Transfer " << brief
                << " is queued, but no Brimvale process is running it. `brimvale transfers "
                   "resume "
                << brief << "` runs it here.\n";
          return 1;
        }
        display.say(JobState::kQueued, "Queued; it starts when a running transfer ends.");
        break;
      default: display.clearSaid(); display.show(run ? run->progress : it->progress);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

// rclone's answer to listing the top of a remote `target`: the exit status
// and the messages; nothing when it could not finish (it then tells nothing).
std::optional<std::pair<int, std::vector<std::string>>> remoteLook(const TransfersCommandContext& c,
                                                                   const std::string& target) {
  ProcessInvocation look{
      .path = *c.rclone,
      .args = {"lsf", "--max-depth", "1", "--dirs-only", "--low-level-retries", "1", target}};
  look.deadline = std::chrono::seconds(60);
  const ProcessResult result = c.runner(look);
  if (result.outcome != ProcessOutcome::kExited) return std::nullopt;
  std::vector<std::string> messages;
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) messages.push_back(cloud::logLineText(line));
  }
  return std::pair{result.exitCode, std::move(messages)};
}

// Why `job` cannot start, or nothing. A missing source, and a remote side
// whose server cannot be reached or refuses access, are found at once here,
// where the transfer itself would retry for a minute first. A source on the
// absent drive is not looked at: the job waits for the drive.
std::optional<std::string> sidesProblem(const TransfersCommandContext& c, const SyncJob& job) {
  const cloud::TransferSides sides{job.source, job.destination};
  if (!cloud::isRemotePath(job.source)) {
    std::error_code ec;
    const bool waits = !c.drive.mounted && !cloud::driveSides(job, c.drive.mountPath).empty();
    if (!waits && !std::filesystem::exists(job.source, ec)) {
      if (ec && ec != std::errc::no_such_file_or_directory) {
        return "The source " + job.source + " could not be looked at (" + ec.message() +
               "), so nothing was changed. Check its permissions, then try again.";
      }
      return "The source " + job.source +
             " does not exist, so nothing was changed. Check the path, and that the drive "
             "holding it is connected, then try again.";
    }
  } else if (const auto look = remoteLook(c, job.source); look && look->first != 0) {
    // Only the source was looked at: its account is the one to name.
    return cloud::rcloneFailureSentence(look->first, look->second, {job.source, job.source});
  }
  if (cloud::isRemotePath(job.destination)) {
    // A destination folder that does not exist yet is made by the transfer.
    const auto look = remoteLook(c, job.destination);
    const auto problem =
        look && look->first != 0 ? cloud::rcloneProblemIn(look->second) : std::nullopt;
    if (problem == cloud::RcloneProblem::kSignIn || problem == cloud::RcloneProblem::kUnreachable)
      return cloud::rcloneProblemSentence(*problem, sides);
  }
  return std::nullopt;
}

// "weekly sun 03:00" as the words `transfers schedule` takes after the id.
std::vector<std::string> scheduleWordsOf(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
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
  std::optional<cloud::Schedule> schedule;
  if (!o.schedule.empty()) {
    auto read = scheduleFromWords(scheduleWordsOf(o.schedule));
    if (!read) {
      c.err << read.error() << "\n";
      return 2;
    }
    if (read->kind != cloud::ScheduleKind::kNone) schedule = *read;
  }
  std::string source = o.words[0];
  std::string destination = o.words[1];
  // Only S3 remotes keep a default bucket: every path on one is bucket/key.
  // Unreadable details leave the paths as typed (rclone then names the bucket it missed).
  if (auto records = c.details ? c.details->load() : std::vector<cloud::RemoteMetadataRecord>{};
      records) {
    for (const auto& record : *records) {
      if (!record.defaultBucket) continue;
      for (std::string* side : {&source, &destination}) {
        if (cloud::remoteNameOf(*side) == record.remoteName)
          *side = cloud::withDefaultBucket(*side, *record.defaultBucket);
      }
    }
  }
  SyncJob job = cloud::newSyncJob(source, destination, *mode, std::time(nullptr));
  if (schedule) {
    job.schedule = cloud::scheduleToJson(*schedule);
    // Slots before now were never asked for; the first run is the next one.
    job.lastScheduledRun = job.createdAt;
  }
  job.dryRun = o.dryRun;
  job.bisyncResync = o.resync && *mode == cloud::JobMode::kBisync;
  if (!o.bandwidthLimit.empty()) job.bandwidthLimit = o.bandwidthLimit;
  job.transfers = o.transfers;
  job.checkers = o.checkers;

  if (const auto problem = sidesProblem(c, job)) {
    c.err << *problem << " Nothing was started.\n";
    return 1;
  }

  cloud::RcloneClient client(c.rclone, c.runner);
  transfers::TransferEventStore events(c.stateDir);
  Foreground shown{c.out};
  cloud::SyncManager manager(managerSetup(c, client, &events, shown, job.id));
  if (auto loaded = manager.load(); !loaded) {
    c.err << loaded.error().message() << " Nothing was started.\n";
    return 1;
  }
  const std::string id = manager.enqueue(job);
  if (schedule) {
    c.out << "It runs again by itself: " << cloud::describeSchedule(*schedule) << ". "
          << cloud::nextRunText(*jobNextRun(*manager.find(id))) << ".\n";
  }
  if (manager.find(id)->state == JobState::kWaitingForDrive) {
    return waitingForDrive(c, *manager.find(id));
  }
  c.out << (job.dryRun ? "Previewing " : "Starting ") << cloud::jobModeLabel(job.mode) << ": "
        << job.source << " → " << job.destination << " (id " << shortId(id)
        << "). Ctrl-C cancels.\n";
  const int status = runHere(c, manager, id, shown);
  // Only a pair that ran is worth offering again: one whose transfer failed
  // before moving anything was most likely mistyped.
  const SyncJob& ended = *manager.find(id);
  const bool ran = ended.state == JobState::kCompleted || ended.progress.filesTransferred > 0 ||
                   ended.progress.bytesTransferred > 0;
  if (c.pairs && ran) {
    if (auto recorded = c.pairs->recordUse(job.source, job.destination, pairKindOf(job.mode));
        !recorded) {
      c.err << "Couldn't add this pair to the recent pairs: " << recorded.error().message()
            << " The transfer is not affected.\n";
    }
  }
  return status;
}

}  // namespace

cloud::DriveState configuredDriveState(const StatePaths& paths, platform::MountTable& mounts) {
  auto drive = configuredDrive(paths);
  if (!drive) return {};
  return {.mountPath = drive->string(), .mounted = mounts.isMountedAt(drive->string())};
}

PathPolicy transferDeletable(const StatePaths& paths, const std::string& computerName) {
  auto drive = configuredDrive(paths);
  return PathPolicy(PathPolicy::rootsFor(
      paths.home, drive ? workingFolderFor(*drive, computerName) : std::filesystem::path()));
}

void setTransferPlaces(TransfersCommandContext& context, const StatePaths& paths,
                       platform::MountTable& mounts, const std::string& computerName) {
  context.drive = configuredDriveState(paths, mounts);
  context.deletable = transferDeletable(paths, computerName);
}

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
    out << versionedText(list);
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
  std::string bar(static_cast<std::size_t>(fraction * kTransferBarWidth), '#');
  bar.resize(kTransferBarWidth, '-');
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
  std::string line = shortId(job.id) + "  " + std::string(cloud::jobStateLabel(job.state)) + "  " +
                     modeWord(job.mode) + (job.dryRun ? " (dry run)" : "") + "  " + job.source +
                     " → " + job.destination;
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
  if (action == "clear") return clearFinished(context, options);
  if (action == "schedule") {
    return scheduleTransferCommand(context.jobsFile, options.words, systemClock()(), context.out,
                                   context.err);
  }
  if (action == "pause") return pauseJob(context, options);
  if (action == "resume") return resumeJob(context, options);
  if (action == "watch") return watchJob(context, options);
  context.err
      << "Unknown transfers action " << action
      << ": use list, new, pause, resume, cancel, clear, watch, schedule or history. Nothing "
         "was changed.\n";
  return 2;
}

}  // namespace brimvale::app
