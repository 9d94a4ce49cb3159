// `brimvale drive-transfer`: check a drive, start a backup or a transfer, follow
// it (and finish a transfer with the drive switch once the copy is verified),
// pause, resume or cancel it, over the service's transfer subcommands.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/move_progress_printer.h"
#include "app/core/service_view_command.h"
#include "common/state/drive_transfer_job.h"
#include "mover/drive_switch.h"

namespace brimvale::app {

struct DriveTransferHost {
  ViewCommandHost& view;  // the service runner, --json, the streams
  StatePaths paths;
  // Runs the drive switch (showing each step through the given callback).
  std::function<mover::SwitchOutcome(std::function<void(std::string_view)>)> runSwitch;
  OutputKind output = OutputKind::kPlain;
  bool wait = false;                    // status --wait
  std::function<void()> pause = [] {};  // between two looks at the job
};

// The job's status line: "Switching to the new drive…" while the switch
// runs, else by phase ("Copying to the new drive…", "Backing up…", …).
[[nodiscard]] std::string transferStatusLine(std::optional<TransferPhase> phase, bool backup,
                                             bool switching);

// Whether the drive switch of `job`, a transfer whose copy is verified, runs now in any process:
// it runs under the relocator lock, which nothing else takes while such a job waits.
[[nodiscard]] bool switchRunning(const StatePaths& paths,
                                 const std::optional<DriveTransferJob>& job);

// Runs the drive switch of this computer's transfer job with the real file
// calls, the service program (`rsyncPath` handed on as RSYNC) and, for
// protected links, pkexec running this program's privileged helper; it waits
// up to `lockWait` for a relocation that holds the relocator lock.
[[nodiscard]] mover::SwitchOutcome switchToNewDrive(
    const ProcessRunner& run, const StatePaths& paths, const std::string& rsyncPath,
    const std::function<void(std::string_view)>& showStep,
    std::chrono::milliseconds lockWait = std::chrono::minutes(10));

// Dispatches `check DEST`, `start [backup|transfer] DEST`, `status [--wait]`,
// `pause`, `resume` and `cancel`. Usage errors exit 2 with a sentence naming
// what is missing; a finished wait exits 0 when the job ended well.
[[nodiscard]] int driveTransferCommand(DriveTransferHost& host,
                                       const std::vector<std::string>& args);

}  // namespace brimvale::app
