#include "app/cli/preflight.h"

#include <unistd.h>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {

std::vector<PreflightCheck> preflightChecks(const PreflightFacts& f) {
  const std::string mount = f.mount.string();
  std::vector<PreflightCheck> checks;
  if (!f.driveUnknown.empty()) {
    checks.push_back({false, "Brimvale does not know which drive to use.", f.driveUnknown});
  } else {
    checks.push_back(f.mounted
                         ? PreflightCheck{true, "The drive is connected at " + mount + ".", {}}
                         : PreflightCheck{false, "No drive is connected at " + mount + ".",
                                          "Connect the drive, or choose it with `brimvale "
                                          "drives`, then run this again."});
  }
  if (f.mounted) {
    checks.push_back(
        f.laidOut
            ? PreflightCheck{true, "Its folder " + f.working.string() + " is ready.", {}}
            : PreflightCheck{false, "The drive has no Brimvale folder " + f.working.string() + ".",
                             "Lay it out with `brimvale prep-drive`."});
    checks.push_back(
        !f.driveFreeBytes ? PreflightCheck{false, "The drive's free space could not be measured.",
                                           "Check that the drive is readable, then run this "
                                           "again."}
        : *f.driveFreeBytes >= kPreflightDriveFreeBytes
            ? PreflightCheck{true,
                             "The drive has " +
                                 platform::formatFileByteCount(
                                     static_cast<std::int64_t>(*f.driveFreeBytes)) +
                                 " free.",
                             {}}
            : PreflightCheck{
                  false,
                  "The drive has only " +
                      platform::formatFileByteCount(static_cast<std::int64_t>(*f.driveFreeBytes)) +
                      " free.",
                  "Make room on the drive, or use a larger one."});
  }
  checks.push_back(f.rsyncPath.empty()
                       ? PreflightCheck{false, "GNU rsync 3 or later was not found.",
                                        "Install GNU rsync (the `rsync` package), then run this "
                                        "again."}
                       : PreflightCheck{true, "GNU rsync is at " + f.rsyncPath + ".", {}});
  checks.push_back(
      f.stateProblem.empty()
          ? PreflightCheck{true, "Brimvale's state folder can be written.", {}}
          : PreflightCheck{false,
                           "Brimvale's state folder cannot be written: " + f.stateProblem + ".",
                           "Make ~/.brimvale yours and writable (`chown -R \"$USER\" "
                           "~/.brimvale`)."});
  checks.push_back(!f.installed ? PreflightCheck{false, "The background service is not installed.",
                                                 "Run `brimvale install`."}
                   : !f.running ? PreflightCheck{false, "The background service is not running.",
                                                 "Start Brimvale (`brimvale run`), or run "
                                                 "`brimvale self-check`."}
                                : PreflightCheck{true, "The background service is running.", {}});
  checks.push_back(
      f.parked == 0
          ? PreflightCheck{true, "No parked originals are waiting.", {}}
          : PreflightCheck{false,
                           std::to_string(f.parked) +
                               " parked original(s) from earlier relocations are waiting.",
                           "Run `brimvale cleanup-old` to delete the verified ones, or "
                           "`brimvale panic-recovery` to bring them home."});
  checks.push_back(
      f.unfinishedMoves == 0
          ? PreflightCheck{true, "No folder move is unfinished.", {}}
          : PreflightCheck{false,
                           std::to_string(f.unfinishedMoves) + " folder move(s) are unfinished.",
                           "Run `brimvale moves resume` to finish them."});
  return checks;
}

std::string renderPreflight(const std::vector<PreflightCheck>& checks) {
  std::string text;
  std::size_t failing = 0;
  for (const auto& c : checks) {
    text += (c.ok ? "✓ " : "✗ ") + c.line + "\n";
    if (!c.ok) {
      text += "  → " + c.fix + "\n";
      ++failing;
    }
  }
  if (failing == 0) return text + "Ready: a first relocation can start.\n";
  return text + std::to_string(failing) + " thing(s) to fix before a first relocation.\n";
}

std::string stateFolderProblem(const StatePaths& paths) {
  const std::filesystem::path& stateDir = paths.state;
  if (auto made = createDirectories(stateDir); !made) return made.error().detail;
  const auto probe = stateDir / (".preflight-probe." + std::to_string(getpid()));
  if (auto written = writeFileAtomically(probe, "probe\n"); !written) {
    return written.error().detail;
  }
  bestEffort(removePath(probe), DiagnosticsLog(paths.diagnosticsLog), "removing the probe file");
  return {};
}

}  // namespace brimvale::app
