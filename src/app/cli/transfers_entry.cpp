#include "app/cli/transfers_entry.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>

#include "app/cli/confirmation.h"
#include "app/cli/json_option.h"
#include "app/core/move_progress_printer.h"
#include "app/core/transfers_command.h"
#include "cloud/rclone_locator.h"

namespace brimvale::app {
namespace {

struct TransfersEntryOptions {
  TransfersOptions transfers;
  bool json = false;
  bool yes = false;  // new, a mode that deletes: no question
};

void options(CLI::App& sub, TransfersEntryOptions& o) {
  sub.add_option("action", o.transfers.action,
                 "list (default), new, pause, resume, cancel, clear, watch, schedule or history")
      ->check(CLI::IsMember(
          {"list", "new", "pause", "resume", "cancel", "clear", "watch", "schedule", "history"}));
  sub.add_option("words", o.transfers.words,
                 "new: SOURCE DESTINATION; pause, resume, cancel, watch: ID; schedule: ID "
                 "manual|hourly N|daily HH:MM|weekly DAY HH:MM|monthly DAY HH:MM");
  sub.add_option("--mode", o.transfers.mode, "new: copy (default), move, sync or bisync")
      ->check(CLI::IsMember({"copy", "move", "sync", "bisync"}));
  sub.add_flag("--dry-run", o.transfers.dryRun, "new: show what would be transferred");
  sub.add_flag("-y,--yes", o.yes, "new: move, sync or bisync without asking first");
  sub.add_flag("--resync", o.transfers.resync,
               "new, bisync only: the first run for this pair, to establish a baseline");
  sub.add_option("--bwlimit", o.transfers.bandwidthLimit,
                 "new: a bandwidth limit such as 10M (10 MB/s) or 100k (100 KB/s)");
  sub.add_option("--transfers", o.transfers.transfers,
                 "new: files copied at once, 1 to 24 (8 suits fast drives; 1 is gentle on a slow "
                 "connection)")
      ->check(CLI::Range(1, 24))
      ->capture_default_str();
  sub.add_option("--checkers", o.transfers.checkers, "new: files compared at once, 1 to 64")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  sub.add_option("--schedule", o.transfers.schedule,
                 "new: also run it again by itself: \"hourly N\", \"daily HH:MM\", \"weekly DAY "
                 "HH:MM\" or \"monthly DAY HH:MM\"");
  sub.add_flag("--waiting-for-drive", o.transfers.waitingForDrive,
               "cancel: every transfer waiting for the external drive to be reconnected");
  jsonOption(sub, o.json);
}

// Set by Ctrl-C or SIGTERM while a transfer runs in the foreground.
std::atomic<bool> transferInterrupted{false};

// What a transfer that deletes files will do, for its question; empty for a
// copy, a dry run (rclone shows each file) or words the command refuses.
std::string deletingPlan(const TransfersOptions& o) {
  if (o.action != "new" || o.dryRun || o.words.size() != 2) return "";
  const std::string& from = o.words[0];
  const std::string& to = o.words[1];
  if (o.mode == "move")
    return "Move every file of " + from + " to " + to + ": each is deleted from " + from +
           " once it is at " + to + ". --dry-run lists the files first.";
  if (o.mode == "sync")
    return "Make " + to + " the same as " + from + ": files in " + to + " that " + from +
           " doesn't have are deleted. --dry-run lists the files first.";
  if (o.mode == "bisync")
    return "Sync " + from + " and " + to +
           " both ways: a file deleted on one side is deleted on the other too. --dry-run "
           "lists the files first.";
  return "";
}

int transfers(CommandContext& c, TransfersEntryOptions& o) {
  if (const std::string plan = deletingPlan(o.transfers); !plan.empty()) {
    const Verdict verdict = decide(confirmationHere(c, {.yes = o.yes}), plan);
    if (verdict != Verdict::kGo) return stoppedStatus(verdict);
  }
  o.transfers.json = o.json;
  const ProcessRunner run = platform::runnerOf(*c.base.launcher);
  TransfersCommandContext tc{.jobsFile = c.paths.cloudJobs,
                             .stateDir = c.paths.state,
                             .rclone = cloud::locateRclone(cloud::defaultRcloneSearch(), run),
                             .out = c.out,
                             .err = c.err,
                             .interrupted = &transferInterrupted,
                             .runner = run};
  setTransferPlaces(tc, c.paths, *c.base.mounts, c.base.host->computerName());
  if (&c.out == &std::cout) tc.output = outputKindOf(STDOUT_FILENO);
  cloud::PairHistory pairs(cloud::PairHistoryFiles::inStateFolder(c.paths.state),
                           cloud::hostFingerprint(run), std::nullopt);
  tc.pairs = &pairs;
  cloud::RemoteMetadataStore details(cloud::MetadataFiles::inStateFolder(c.paths.state),
                                     cloud::hostFingerprint(run), std::nullopt);
  tc.details = &details;
  struct sigaction stop {};
  stop.sa_handler = [](int) { transferInterrupted = true; };
  sigemptyset(&stop.sa_mask);
  struct sigaction oldInt {
  }, oldTerm{};
  sigaction(SIGINT, &stop, &oldInt);
  sigaction(SIGTERM, &stop, &oldTerm);
  const int status = transfersCommand(tc, o.transfers);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return status;
}

}  // namespace

CommandEntry transfersEntry() {
  return commandEntry<TransfersEntryOptions>(
      "transfers",
      "cloud transfers: `transfers` lists them (--json), `transfers new SRC DST --mode "
      "copy|move|sync|bisync [--dry-run] [--bwlimit X] [--transfers N] [--checkers N] [--schedule "
      "WHEN]` runs one "
      "here with its progress "
      "(move, sync and bisync ask first: --yes; Ctrl-C cancels), `transfers pause ID`, `transfers "
      "resume ID`, `transfers cancel "
      "ID`, `transfers cancel --waiting-for-drive`, `transfers clear` (finished ones leave the "
      "list), `transfers watch ID` (a live progress bar, "
      "also for a transfer another "
      "window runs), `transfers history`, `transfers schedule ID manual|hourly N|daily "
      "HH:MM|weekly DAY HH:MM|monthly DAY HH:MM`",
      options, transfers);
}

}  // namespace brimvale::app
