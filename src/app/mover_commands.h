// `brimvale move`, `moves` and `move-log`: the folder mover driven from the
// command line, under the relocator lock, with the safety checks and the
// question first and a live progress bar.
#pragma once
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/run_loop.h"
#include "common/state/paths.h"
#include "mover/local_folder_mover.h"
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
  // The answer to the question before a move can be read from `in`.
  bool interactive = false;
};

struct MoveOptions {
  std::string folder;
  std::string verify;   // "fast", "thorough", "off" or empty for the stored level
  bool yes = false;     // skip the question
  bool dryRun = false;  // show the plan, change nothing
  // Folders outside the home folder whose contents may be moved.
  std::vector<std::string> allowedRoots;
};

// Everything one process needs to run the mover on a loop: the log (mirrored
// to state/mover-log.txt), the ledger, the event store and the engine.
class MoverHost {
 public:
  // `mounts` (optional) tells a mounted drive from the empty folder it leaves.
  // `extraRoots`: roots outside the home folder the user allowed for this run.
  MoverHost(const StatePaths& paths, platform::UserDefaults* defaults, std::string computerName,
            RunLoop& loop, platform::MountTable* mounts,
            std::optional<mover::VerificationLevel> level = {},
            std::vector<std::filesystem::path> extraRoots = {});
  [[nodiscard]] mover::LocalFolderMover& mover() { return *mover_; }
  [[nodiscard]] mover::MoverLog& log() { return log_; }
  // Called on the loop thread after every change of a job.
  void setOnChange(std::function<void(const mover::MoveManifest&)> f) { onChange_ = std::move(f); }

 private:
  // Remembers a successful thinning in the user defaults and the ledger.
  class Recorder : public snapshots::ThinningRecorder {
   public:
    Recorder(platform::UserDefaults* defaults, transfers::BackgroundJobsStore& ledger)
        : defaults_(defaults), ledger_(ledger) {}
    void rememberLastReclaim(double epochSeconds) override;
    void recordLedgerRun(std::string_view job, std::string_view summary) override;

   private:
    platform::UserDefaults* defaults_;
    transfers::BackgroundJobsStore& ledger_;
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

// Under the relocator lock: checks, asks, then relocates `folder` into a
// fresh folder of {working folder}/Relocated (or continues the unfinished
// move of it) and shows progress until the move, and any other unfinished
// move, settles. Ctrl-C cancels; the exit status then is 128 + the signal.
int moveCommand(MoverCommandContext& c, const MoveOptions& options);
// No action: lists the moves. "cancel"/"revert" ID; "resume" continues
// unfinished moves, and finishes relocations that failed half-way through
// their links, until they settle. `allowedRoots` as for moveCommand.
int movesCommand(MoverCommandContext& c, const std::string& action, const std::string& id,
                 const std::vector<std::string>& allowedRoots = {});
int moveLogCommand(MoverCommandContext& c, const std::string& id);

}  // namespace brimvale::app
