// `brimvale transfers`: the cloud transfer list, its history, a new transfer
// run in the foreground with a live progress line, and pausing, resuming,
// cancelling and watching a transfer, also one another process runs.
#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/move_progress_printer.h"
#include "cloud/pair_history.h"
#include "cloud/remote_metadata.h"
#include "cloud/sync_job.h"
#include "cloud/sync_manager.h"
#include "common/state/paths.h"
#include "platform/platform.h"

namespace brimvale::app {

struct TransfersOptions {
  // list (default), new, pause, resume, cancel, clear, watch, schedule, history
  std::string action;
  std::vector<std::string> words;  // new SRC DST; pause, resume, cancel, watch ID
  std::string mode = "copy";       // copy, move, sync, bisync
  bool dryRun = false;
  bool resync = false;
  std::string bandwidthLimit;
  int transfers = 8;  // files copied at once
  int checkers = 8;   // files compared at once
  // new: when it runs again by itself, as `transfers schedule` takes it
  // ("daily 03:00"); empty: only when started by hand.
  std::string schedule;
  bool waitingForDrive = false;  // cancel: every transfer waiting for the drive
  bool json = false;
};

struct TransfersCommandContext {
  std::filesystem::path jobsFile;  // ~/.brimvale/sync/jobs.json
  std::filesystem::path stateDir;  // ~/.brimvale/state, for the transfer events
  std::optional<std::string> rclone;
  cloud::DriveState drive;
  // The folders a move or a purge may delete local files from; none: never.
  std::optional<PathPolicy> deletable;
  std::ostream& out;
  std::ostream& err;
  OutputKind output = OutputKind::kPlain;
  // Set from a signal handler: cancels the foreground transfer.
  const std::atomic<bool>* interrupted = nullptr;
  // The recent pairs a new transfer is added to; none to leave them alone.
  cloud::PairHistory* pairs = nullptr;
  // The remotes' details: an S3 remote's default bucket goes in front of its
  // paths. None: paths are taken as typed.
  cloud::RemoteMetadataStore* details = nullptr;
  ProcessRunner runner = {};  // how rclone is run
};

// The folders a transfer may delete a local source from: the home folder
// and this computer's working folder on the configured drive.
[[nodiscard]] PathPolicy transferDeletable(const StatePaths& paths,
                                           const std::string& computerName);

// Fills in the configured drive (see configuredDriveState) and the folders a
// transfer may delete from.
void setTransferPlaces(TransfersCommandContext& context, const StatePaths& paths,
                       platform::MountTable& mounts, const std::string& computerName);

// "copy", "move", "sync" (one-way) and "bisync" as the command line spells them.
[[nodiscard]] std::optional<cloud::JobMode> jobModeFromWord(std::string_view word);

// One line of the progress display: the bar with bytes, speed and time left,
// then the files and the file being copied.
[[nodiscard]] std::string transferProgressLine(const cloud::JobProgress& progress);

// One line per job of the list: the id's first 8 characters, the state, the
// mode and both sides, and the error of a job that failed.
[[nodiscard]] std::string transferListLine(const cloud::SyncJob& job);

// The recent-pairs kind of a transfer in `mode`.
[[nodiscard]] cloud::PairKind pairKindOf(cloud::JobMode mode);

// `brimvale pairs [--json]`: the recently used pairs, pinned first.
int pairsCommand(cloud::PairHistory& pairs, std::ostream& out, std::ostream& err, bool json);

// The drive a transfer to or from its folders waits for: the configured one,
// mounted or not as the mount table says now; none while none is known.
[[nodiscard]] cloud::DriveState configuredDriveState(const StatePaths& paths,
                                                     platform::MountTable& mounts);

// The exit status: 0 done, 1 failed or cancelled, 2 bad usage.
int transfersCommand(TransfersCommandContext& context, const TransfersOptions& options);

}  // namespace brimvale::app
