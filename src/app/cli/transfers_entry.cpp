#include "app/cli/transfers_entry.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>

#include "app/cli/json_option.h"
#include "app/core/move_progress_printer.h"
#include "app/core/transfers_command.h"
#include "cloud/rclone_locator.h"

namespace brimvale::app {
namespace {

struct TransfersEntryOptions {
  TransfersOptions transfers;
  bool json = false;
};

void options(CLI::App& sub, TransfersEntryOptions& o) {
  sub.add_option("action", o.transfers.action,
                 "list (default), new, pause, resume, cancel, watch, schedule or history")
      ->check(CLI::IsMember(
          {"list", "new", "pause", "resume", "cancel", "watch", "schedule", "history"}));
  sub.add_option("words", o.transfers.words,
                 "new: SOURCE DESTINATION; pause, resume, cancel, watch: ID; schedule: ID "
                 "manual|hourly N|daily HH:MM|weekly DAY HH:MM|monthly DAY HH:MM");
  sub.add_option("--mode", o.transfers.mode, "new: copy (default), move, sync or bisync")
      ->check(CLI::IsMember({"copy", "move", "sync", "bisync"}));
  sub.add_flag("--dry-run", o.transfers.dryRun, "new: show what would be transferred");
  sub.add_flag("--resync", o.transfers.resync,
               "new, bisync only: the first run for this pair, to establish a baseline");
  sub.add_option("--bwlimit", o.transfers.bandwidthLimit,
                 "new: a bandwidth limit such as 10M (10 MB/s) or 100k (100 KB/s)");
  jsonOption(sub, o.json);
}

// Set by Ctrl-C or SIGTERM while a transfer runs in the foreground.
std::atomic<bool> transferInterrupted{false};

int transfers(CommandContext& c, TransfersEntryOptions& o) {
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
      "copy|move|sync|bisync [--dry-run] [--bwlimit X]` runs one here with its progress "
      "(Ctrl-C cancels), `transfers pause ID`, `transfers resume ID`, `transfers cancel "
      "ID`, `transfers watch ID` (a live progress bar, also for a transfer another "
      "window runs), `transfers history`, `transfers schedule ID manual|hourly N|daily "
      "HH:MM|weekly DAY HH:MM|monthly DAY HH:MM`",
      options, transfers);
}

}  // namespace brimvale::app
