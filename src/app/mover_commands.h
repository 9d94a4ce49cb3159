// `brimvale move`, `moves` and `move-log`: the folder mover driven from the
// command line, with the safety checks first and a live progress bar.
#pragma once
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/run_loop.h"
#include "common/paths.h"
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
};

// Everything one process needs to run the mover on a loop: the log (mirrored
// to state/mover-log.txt), the ledger, the event store and the engine.
class MoverHost {
 public:
  // `mounts` (optional) tells a mounted drive from the empty folder it leaves.
  MoverHost(const StatePaths& paths, platform::UserDefaults* defaults, std::string computerName,
            RunLoop& loop, platform::MountTable* mounts,
            std::optional<mover::VerificationLevel> level = {});
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

// Checks, then relocates `folder` into {working folder}/Relocated and shows
// progress until the move (and any other unfinished move) settles.
// `verify` is "fast", "thorough", "off" or empty for the stored level.
int moveCommand(MoverCommandContext& c, const std::string& folder, const std::string& verify);
// No action: lists the moves. "cancel"/"revert" ID; "resume" continues
// unfinished moves until they settle.
int movesCommand(MoverCommandContext& c, const std::string& action, const std::string& id);
int moveLogCommand(MoverCommandContext& c, const std::string& id);

}  // namespace brimvale::app
