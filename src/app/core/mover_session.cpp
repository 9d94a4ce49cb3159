#include "app/core/mover_session.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <iostream>

#include "app/core/move_progress_printer.h"
#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/process.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/base/yes_answer.h"
#include "common/state/configured_drive.h"
#include "common/state/move_scope.h"
#include "common/state/only_copy_notice.h"
#include "common/state/remembered_versions.h"
#include "mover/link_census.h"
#include "mover/relink.h"
#include "mover/safety_checks.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using mover::MoveManifest;
using mover::MovePhase;

constexpr std::chrono::milliseconds kProgressInterval{250};

}  // namespace

// Prints every change of a move, and ends the loop as soon as the last move
// has settled rather than at the next progress tick.
void followMoves(RunLoop& loop, MoverHost& host, MoveProgressPrinter& printer) {
  host.setOnChange([&loop, &host, &printer](const MoveManifest& job) {
    printer.phaseChanged(job);
    if (job.phase == MovePhase::kCopying) return;  // progress: the tick handles it
    loop.post([&loop, &host] {
      if (host.mover().idle()) loop.stop();
    });
  });
}

// Runs the loop until every move has settled; prints as it goes. The signal
// (SIGINT, SIGTERM) that stopped it first, or 0.
int runUntilSettled(RunLoop& loop, MoverHost& host, MoveProgressPrinter& printer) {
  auto& m = host.mover();
  const auto timer =
      loop.scheduleRepeating("mover.progress", kProgressInterval, kProgressInterval / 2, [&] {
        printer.tick(m);
        if (m.idle()) loop.stop();
      });
  int signal = 0;
  if (!m.idle()) signal = loop.run();
  loop.cancel(timer);
  printer.endBar();
  return signal;
}

// `path` with the home folder written "~", as the question shows it.
std::string homeRelative(const std::string& path, const fs::path& home) {
  const std::string h = home.string();
  if (path == h) return "~";
  if (!h.empty() && path.starts_with(h + "/")) return "~" + path.substr(h.size());
  return path;
}

std::string filesWord(std::uint64_t n) { return groupedCount(n) + (n == 1 ? " file" : " files"); }

bool partlyRelinked(const MoveManifest& job) {
  if (!job.replaceSourceWithSymlink) return false;
  auto census = mover::takeLinkCensus(job.src, {job.finalDst});
  return census && census->linksInto[0] > 0;
}

namespace {

// What is wrong with a move reported done: the record on disk must say so,
// and the files must be where the move put them. Empty when all holds.
std::string unfinishedAfterAll(MoverCommandContext& c, const MoveManifest& job,
                               const mover::LocalFolderMover* finishedBy) {
  const auto records = mover::ManifestStore(c.paths.state, {}, systemClock()).all();
  if (std::none_of(records.begin(), records.end(), [&](const MoveManifest& r) {
        return r.id == job.id && r.phase == MovePhase::kDone;
      })) {
    return "The move of " + mover::quotedName(job.src) + " went through, but its record in " +
           c.paths.state.string() +
           " doesn't say so. Your data is safe. Once that folder can be written to, run "
           "`brimvale moves resume` so that the move is recorded.\n";
  }
  if (!job.replaceSourceWithSymlink) {
    const bool copyIsLink = fs::is_symlink(linkStatus(job.finalDst).value_or(fs::file_status{}));
    if (entryPresent(job.src) || !entryPresent(job.finalDst) || copyIsLink) {
      return "The move of " + mover::quotedName(job.src) + " was recorded as done, but " +
             (entryPresent(job.src) ? job.src + " is still there"
              : copyIsLink          ? job.finalDst + " is a link now, not the folder it made"
                                    : job.finalDst + " is missing") +
             ". Nothing was deleted since; check both places before you change anything.\n";
    }
    return {};
  }
  // The link walk that just finished this move looked at every folder again
  // once its files were links; walking the folder once more would find the same.
  if (finishedBy && finishedBy->finishedOnLinkedCheck(job.id)) return {};
  const auto check = mover::checkLinkedTree(job.src, job.finalDst);
  if (check.holds()) return {};
  if (!check.notLinked.empty()) {
    std::string files;
    for (std::size_t i = 0; i < check.notLinked.size() && i < 5; ++i)
      files += (i ? ", " : "") + check.notLinked[i];
    return "The folder " + job.src + " was relocated, but " + filesWord(check.notLinked.size()) +
           " in it " + (check.notLinked.size() == 1 ? "was" : "were") +
           " written there since, as real files on the internal disk: " + files +
           ". They are safe where they are, beside the links; they come home with the rest when "
           "you move the folder back.\n";
  }
  return "The folder " + job.src + " was recorded as relocated, but " +
         (check.replaced ? std::string("it is no longer the folder of links Brimvale made")
                         : "not every link in it leads to a copy that is there") +
         ". Nothing was deleted since; check " + job.src + " and " + job.finalDst + ".\n";
}

}  // namespace

int reportOutcome(MoverCommandContext& c, const MoveManifest& job,
                  const mover::LocalFolderMover* finishedBy) {
  const std::string name = homeRelative(job.src, c.paths.home);
  switch (job.phase) {
    case MovePhase::kDone:
      if (const std::string wrong = unfinishedAfterAll(c, job, finishedBy); !wrong.empty()) {
        c.err << wrong;
        return 1;
      }
      c.out << (job.replaceSourceWithSymlink ? "Relocated " + job.src + " to " + job.finalDst +
                                                   ". Every file in the original folder is now a "
                                                   "link to its copy on the drive.\n"
                                             : "Moved " + job.src + " to " + job.finalDst + ".\n");
      if (job.statusMessage) c.out << *job.statusMessage << ".\n";
      if (job.replaceSourceWithSymlink && claimOnlyCopyNotice(c.paths)) {
        c.out << kOnlyCopyNotice << "\n";
        queueOnlyCopyNotice(c.paths);
      }
      return 0;
    case MovePhase::kWaitingForDrive:
      if (job.failure == mover::MoveFailure::kDriveAbsent) {
        // The copy never started: the drive was not there to begin with.
        c.err << "The drive isn't connected, so the move of " << name
              << " is waiting for it; nothing was copied yet. Your original is untouched; connect "
                 "the drive and "
                 "run `brimvale moves resume`.\n";
        return 1;
      }
      c.err << "The drive went away during the move, so it is paused. Your original is safe; "
               "reconnect the "
               "drive and run `brimvale moves resume`.\nDetails: "
            << job.lastError.value_or("") << "\n";
      return 1;
    case MovePhase::kCancelled:
      c.err << "The move of " << name << " was cancelled. Your original is untouched"
            << (entryPresent(job.finalDst) ? "; the copy made so far stays at " + job.finalDst + "."
                                           : "; the partial copy on the drive was removed.")
            << "\n";
      return 1;
    default: {
      const std::string last = job.lastError.value_or("");
      if (job.failure == mover::MoveFailure::kStated) {
        c.err << last << "\n";
      } else {
        c.err << mover::userFacingFailure(job)
              << "\nDetails: " << job.lastError.value_or(std::string(mover::phaseWords(job.phase)))
              << "\n";
      }
      if (job.phase == MovePhase::kFailed && entryPresent(job.src) && partlyRelinked(job)) {
        c.err << "Some of its files are links to the copy already and the rest are still in place, "
                 "so nothing is "
                 "lost. To finish the move safely, run: brimvale move "
              << shellQuoted(job.src) << " --yes\n";
      }
      return 1;
    }
  }
}

// Ctrl-C (or SIGTERM) while moves run: each is cancelled, except one that is
// already replacing its files with links, which is finished (stopping there
// would leave half the folder links). A second signal stops at once, which
// leaves that move to `brimvale moves resume`.
int stopMoves(MoverCommandContext& c, RunLoop& loop, MoverHost& host, MoveProgressPrinter& printer,
              int signal) {
  auto& m = host.mover();
  c.out << "Stopping…\n" << std::flush;
  std::vector<std::string> touched;
  for (const auto& j : m.jobs()) {
    if (!mover::isTerminal(j.phase) && j.phase != MovePhase::kWaitingForDrive)
      touched.push_back(j.id);
  }
  for (const auto& id : touched) {
    if (auto refused = m.cancel(id))
      c.out << *refused << " Press Ctrl-C again to stop at once.\n" << std::flush;
  }
  if (int again = runUntilSettled(loop, host, printer)) {
    for (const auto& id : touched) {
      const MoveManifest* j = m.job(id);
      if (!j || j->phase != MovePhase::kCleaningUp) continue;
      c.err << "Stopped at once. The move of " << homeRelative(j->src, c.paths.home)
            << " was left part-way through replacing its files with links; every file is still "
               "there, as itself "
               "or as a link to its copy. Run `brimvale moves resume` to finish it.\n";
    }
    return 128 + again;
  }
  bool allDone = true;
  for (const auto& id : touched) {
    const MoveManifest* j = m.job(id);
    if (!j) continue;
    (void)reportOutcome(c, *j, &m);
    allDone = allDone && j->phase == MovePhase::kDone;
  }
  return allDone ? 0 : 128 + signal;
}

MoverHost::MoverHost(const StatePaths& paths, platform::UserDefaults* defaults,
                     std::string computerName, RunLoop& loop, ProcessRunner run,
                     platform::MountTable* mounts, std::optional<mover::VerificationLevel> level,
                     std::vector<fs::path> extraRoots, std::string snapshotTool)
    : logFile_(paths.state),
      ledger_(paths.state, systemClock()),
      events_(paths.state),
      recorder_(defaults, ledger_, paths.diagnosticsLog),
      snapshots_({std::move(snapshotTool), {}, run}, recorder_,
                 [] { return snapshots::StartupCapacity{}; }) {
  log_.setObserver([this](std::span<const mover::MoverLogLine> lines) { logFile_.write(lines); });
  mover::MoverEnvironment env;
  env.paths = paths;
  env.computerName = std::move(computerName);
  env.scheduler = &loop;
  env.post = [&loop](std::function<void()> task) { loop.post(std::move(task)); };
  env.defaults = defaults;
  env.ledger = &ledger_;
  env.events = &events_;
  env.systemLog = [](const std::string& line) { std::cerr << line << "\n"; };
  // RSYNC names the copy tool first, as it does for the service.
  std::vector<std::string> candidates = mover::RsyncSupport::defaultCandidates("");
  if (const char* named = std::getenv("RSYNC"); named && *named)
    candidates.insert(candidates.begin(), named);
  env.rsync = mover::RsyncSupport::probe(
      candidates, rememberingVersions(run, paths.state / kProgramVersionsFile));
  env.run = run;
  env.extraRoots = std::move(extraRoots);
  env.verificationOverride = level;
  // Where the system keeps no local snapshots a move has none to thin.
  if (snapshots_.available()) {
    env.thinSnapshots = [this](std::int64_t bytes) -> Result<std::string> {
      auto thinned = snapshots_.thinLocalSnapshots(bytes, snapshots::kMostUrgent);
      if (!thinned) return fail(Errc::kToolFailed, thinned.error().description());
      return "freed up to " + platform::formatFileByteCount(bytes);
    };
  }
  if (mounts)
    env.isMounted = [mounts](const fs::path& p) { return mounts->isMountedAt(p.string()); };
  env.onChange = [this](const mover::MoveManifest& job) {
    if (onChange_) onChange_(job);
  };
  mover_ = std::make_unique<mover::LocalFolderMover>(std::move(env), log_);
}

void MoverHost::Recorder::rememberLastReclaim(double epochSeconds) {
  if (defaults_) {
    bestEffort(defaults_->setDouble(snapshots::kLastReclaimAtEpochKey, epochSeconds), diagnostics_,
               "remembering the last reclaim");
  }
}

void MoverHost::Recorder::recordLedgerRun(std::string_view job, std::string_view summary) {
  if (auto kind = transfers::jobKindFromRaw(job)) {
    bestEffort(ledger_.recordRun(*kind, transfers::JobOutcome::kOk, summary), diagnostics_,
               "recording the background run");
  }
}

}  // namespace brimvale::app
