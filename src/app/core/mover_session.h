// Running the folder mover in this process for a command: the context it
// works in, the mover on a loop, the progress it prints and the words for
// how each move ended.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/confirm_hook.h"
#include "app/core/move_progress_printer.h"
#include "app/core/run_loop.h"
#include "common/base/best_effort.h"
#include "common/state/paths.h"
#include "mover/local_folder_mover.h"
#include "mover/safety_checks.h"
#include "platform/app_platform.h"
#include "snapshots/snapshot_manager.h"

namespace brimvale::app {

struct MoverCommandContext {
  StatePaths paths;
  platform::AppPlatform& host;
  platform::MountTable* mounts;
  std::string computerName;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  // The answer to a question (which apps to quit) can be read from `in`.
  bool interactive = false;
  // Signals the programs that use a folder, and another Brimvale running a
  // move; nothing: neither is done.
  platform::ProcessLauncher* launcher = nullptr;
  // The local-snapshot tool that gives space back after a relocation; empty: none.
  std::string snapshotTool = snapshots::defaultSnapshotToolPath();
  // Where `out` goes: only a terminal gets a bar rewritten in place.
  OutputKind output = OutputKind::kPlain;
  // Told of the loop a move runs on once it exists, and nullptr before it
  // goes, so another thread can interrupt() it to cancel.
  std::function<void(RunLoop*)> onMoveLoop;
  ProcessRunner run = {};  // how the copies and their tools run
  // Decides on the plan of a move, a move back or a revert; empty: go ahead.
  ConfirmHook confirm = {};
};

struct MoveOptions {
  std::string folder;
  std::string verify;   // "fast", "thorough", "off" or empty for the stored level
  bool yes = false;     // skip the question
  bool dryRun = false;  // show the plan, change nothing
  // Programs using the folder: ask them to quit (--quit-apps) or move anyway
  // (--continue) without asking.
  bool quitApps = false;
  bool continueAnyway = false;
  // Folders outside the home folder whose contents may be moved.
  std::vector<std::string> allowedRoots;
  // The folder on the drive, inside the working folder, that receives the
  // copy as {to}/{name}; empty: a fresh folder of {working folder}/Relocated.
  std::string to;
  // What happens to a copy already at the destination: "merge",
  // "override" or "merge-keep-newer"; empty means merge.
  std::string policy;
  // Move without leaving links: the original is removed once its copy is verified.
  bool noLinks = false;
  // Move even when files in the folder changed recently, for this run only.
  bool bypassRecentWriteGuard = false;
};

// Everything one process needs to run the mover on a loop: the log (mirrored
// to state/mover-log.txt), the ledger, the event store and the engine.
class MoverHost {
 public:
  // `mounts` (optional) tells a mounted drive from the empty folder it leaves.
  // `extraRoots`: roots outside the home folder the user allowed for this run.
  MoverHost(const StatePaths& paths, platform::UserDefaults* defaults, std::string computerName,
            RunLoop& loop, ProcessRunner run, platform::MountTable* mounts,
            std::optional<mover::VerificationLevel> level = {},
            std::vector<std::filesystem::path> extraRoots = {},
            std::string snapshotTool = snapshots::defaultSnapshotToolPath());
  [[nodiscard]] mover::LocalFolderMover& mover() { return *mover_; }
  [[nodiscard]] mover::MoverLog& log() { return log_; }
  // Called on the loop thread after every change of a job.
  void setOnChange(std::function<void(const mover::MoveManifest&)> f) { onChange_ = std::move(f); }

 private:
  // Remembers a successful thinning in the user defaults and the ledger.
  class Recorder : public snapshots::ThinningRecorder {
   public:
    Recorder(platform::UserDefaults* defaults, transfers::BackgroundJobsStore& ledger,
             const std::filesystem::path& diagnosticsLog)
        : defaults_(defaults), ledger_(ledger), diagnostics_(diagnosticsLog) {}
    void rememberLastReclaim(double epochSeconds) override;
    void recordLedgerRun(std::string_view job, std::string_view summary) override;

   private:
    platform::UserDefaults* defaults_;
    transfers::BackgroundJobsStore& ledger_;
    DiagnosticsLog diagnostics_;
  };

  mover::MoverLog log_;
  mover::MoverLogFile logFile_;
  transfers::BackgroundJobsStore ledger_;
  transfers::TransferEventStore events_;
  Recorder recorder_;
  snapshots::SnapshotManager snapshots_;
  std::function<void(const mover::MoveManifest&)> onChange_;
  std::unique_ptr<mover::LocalFolderMover> mover_;
};

// Shared by the commands that run moves in this process: prints every change
// of a move and ends the loop as soon as the last one has settled.
void followMoves(RunLoop& loop, MoverHost& host, MoveProgressPrinter& printer);
// Runs the loop until every move has settled; prints as it goes. The signal
// (SIGINT, SIGTERM) that stopped it first, or 0.
int runUntilSettled(RunLoop& loop, MoverHost& host, MoveProgressPrinter& printer);
// After a signal: cancels what can be cancelled, waits, reports; the exit status.
int stopMoves(MoverCommandContext& c, RunLoop& loop, MoverHost& host, MoveProgressPrinter& printer,
              int signal);
// How one move ended, in words: on `out` when done, else on `err`; 0 when done.
// `finishedBy`: the mover that ran it in this process, whose own check at the
// end of a relocation then stands for a second walk of the folder.
int reportOutcome(MoverCommandContext& c, const mover::MoveManifest& job,
                  const mover::LocalFolderMover* finishedBy = nullptr);
// `path` with the home folder written "~".
[[nodiscard]] std::string homeRelative(const std::string& path, const std::filesystem::path& home);

// "1 file", "2,345 files".
[[nodiscard]] std::string filesWord(std::uint64_t n);
// A relocation that stopped with some of its files already links to the copy.
[[nodiscard]] bool partlyRelinked(const mover::MoveManifest& job);

}  // namespace brimvale::app
