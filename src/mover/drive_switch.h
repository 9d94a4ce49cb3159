// The drive switch that finishes a transfer: once the service has copied and
// verified the working folder on the new drive, every relocated link and move
// record is re-pointed there and the service is asked to commit, in six steps
// under the relocator lock, each one safe to interrupt and run again.
#pragma once
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/best_effort.h"
#include "common/base/file_operations.h"
#include "common/base/process.h"
#include "common/state/drive_transfer_job.h"
#include "common/state/paths.h"
#include "mover/switch_checks.h"
#include "mover/switch_links.h"
#include "mover/switch_privileged.h"

namespace brimvale::mover {

enum class SwitchStep { kCheck, kFind, kProtected, kLinks, kRecords, kCommit };

inline constexpr std::string_view kSwitchDoneText = "Done.";

// The results of a transfer job as the user reads them.
inline constexpr std::string_view kSwitchedSentence =
    "Moved everything to the new drive and switched over.";
inline constexpr std::string_view kSwitchFailedSentence =
    "The switch couldn't be completed. Your old drive still has everything — nothing was "
    "deleted.";
inline constexpr std::string_view kBackedUpSentence = "Backed everything up to the other drive.";
inline constexpr std::string_view kBackupFailedSentence = "The transfer didn't finish.";

// The transfer job as state/transfer-job.json shows it; missing keys are empty.
struct SwitchJob {
  std::string kind;
  std::optional<TransferPhase> phase;
  std::string destRoot;
  SwitchRoute route;
  // When the job began copying: files on the old drive changed since then
  // are compared byte for byte before their links move over.
  std::optional<std::chrono::system_clock::time_point> startedAt;
};
// Nothing when there is no job file or it cannot be read.
[[nodiscard]] std::optional<SwitchJob> readSwitchJob(const StatePaths& paths);

struct SwitchSeams {
  FileOperations& files;
  const DiagnosticsLog& diagnostics;
  // Runs one service subcommand (transfer-commit) and waits for it.
  std::function<ProcessResult(const std::vector<std::string>&)> service;
  PrivilegedRelinker privileged;
  // Told each step's text as it starts, then kSwitchDoneText.
  std::function<void(std::string_view)> showStep;
  // Whether the user may change names in a link's folder; the others go
  // through `privileged`.
  std::function<bool(const std::filesystem::path&)> mayWrite = parentWritable;
  // How long a second switch waits for the first before giving up.
  std::chrono::milliseconds lockWait{std::chrono::minutes(10)};
};

enum class SwitchEnd {
  kSwitched,         // done now, or by an earlier run
  kNothingToSwitch,  // no transfer is waiting for its switch
  kRefused,          // stopped at a step; the old drive and every link still work
};

struct SwitchOutcome {
  SwitchEnd end = SwitchEnd::kNothingToSwitch;
  std::optional<SwitchStep> stoppedAt;
  std::string reason;  // why it stopped, without the result sentence
  int linksUpdated = 0;
  int recordsUpdated = 0;
  // Files written through a link after the transfer copied them were copied
  // across again; the new drive's older versions are kept under these names.
  std::vector<std::filesystem::path> keptAside;
  // The result as the user reads it, one or two lines, ending in a newline.
  [[nodiscard]] std::string text() const;
};

// Runs the switch when the job is a `transfer` in phase `copied`. A second
// caller waits for the first under the relocator lock and then reports the
// job as it finds it. The links moved over are every link under the home
// folder that leads into the old working folder (wherever a move made it,
// and after its folder was renamed) and those at the places the move records
// name; before each one moves, what it leads to on the new drive is brought
// up to date. It ends switched only once no link under the home folder, at a
// recorded place or in a record still leads into the old working folder. Test builds stop with
// SIGKILL after a step at "switch:checked", "switch:found", "switch:protected", "switch:linked",
// "switch:recorded" and "switch:committed" (and per link, see swapLink).
[[nodiscard]] SwitchOutcome runDriveSwitch(const StatePaths& paths, const SwitchSeams& seams);

}  // namespace brimvale::mover
