// The drive subcommands behind the Choose Drive and Inspect windows:
// list-drives, assess, benchmark, select-drive, nvme-info, eject-nvme, doctor.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

int listDrivesCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int assessCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int benchmarkCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int selectDriveCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int nvmeInfoCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// Text diagnostics of the drive, the service and dangling links (at most
// 20, at most four levels below the developer-cache folders).
int doctorCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// Pauses automatic work, asks running dependent applications to quit, then
// ejects: 0 ejected or not mounted, 1 failed (drive still mounted, still paused).
int ejectNvmeCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// What eject-nvme decided and found, filled in as it goes.
struct EjectOutcome {
  int exitCode = 0;
  std::string nvme;
  bool mounted = false;
  std::vector<std::string> askedToQuit;  // running dependent applications sent Quit
  bool allQuit = false;                  // all of them quit within the wait
  bool ejected = false;
  std::string ejectMessage;  // the tool's words, on success or failure
  std::string openFiles;     // after a failure: what still holds the drive
  std::string pauseError;    // why the pause sentinel could not be created
};

// The points where eject-nvme has something to say; the wait and the
// unmount come between them, so each line shows before the slow part.
enum class EjectMoment {
  kStarted,
  kNotMounted,
  kPausing,
  kPaused,
  kPauseFailed,  // nothing further is done
  kQuittingApps,
  kAskedToQuit,  // the last of askedToQuit
  kWaitingForApps,
  kAppsWaitedFor,
  kUnmounting,
  kEjected,
  kDone,
  kEjectFailed,
};

using EjectObserver = std::function<void(const EjectOutcome&, EjectMoment)>;

// Does what ejectNvmeCommand describes, telling `observe` at each moment.
[[nodiscard]] EjectOutcome ejectNvme(ServiceContext& ctx, const EjectObserver& observe);

// The text eject-nvme prints at `moment`.
void renderEject(const EjectOutcome& outcome, EjectMoment moment, std::ostream& out);

enum class ParkedGuard { kApply, kBypass };
enum class PinnedBase { kKeep, kFollowDrive };

// What select-drive decided and did. `exitCode`: 0 switched or unchanged, 1
// bad path or the configuration could not be switched, 2 refused.
struct DriveSelection {
  enum class Kind {
    kSwitched,
    kUnchanged,         // the drive is the configured one already
    kNoSuchPath,        // `path` is the path as given
    kLineBreak,         // the configuration cannot hold such a path
    kParkedSources,     // `parked` sources would dangle
    kUnreadableConfig,  // `configFile` could not be read: `detail`
    kBackupFailed,      // `detail`
    kWriteFailed,       // `detail`
    kReadBackDiffers,   // the file reads back `readBack`; `restored` or kept in `backup`
  };
  Kind kind = Kind::kUnchanged;
  int exitCode = 0;
  // Unless 0, the sentence naming why, as printed.
  std::string problem;
  std::string path;  // the drive, without trailing slashes
  std::size_t parked = 0;
  std::filesystem::path configFile;
  std::string detail;
  std::filesystem::path backup;
  std::string readBack;
  bool restored = false;
};

// The text select-drive prints for `selection`.
void renderDriveSelection(const DriveSelection& selection, std::ostream& out, std::ostream& err);

// Points NVMe= at `path` (configuration loaded), compared and written without
// trailing slashes. Every NVMe assignment in the file is rewritten, and the
// switch counts only when the configuration reads back the new drive;
// otherwise the previous file is put back. Refuses (2) while parked sources
// would dangle, unless the guard is bypassed, as only the transfer does.
// With kFollowDrive, a BASE= pinned below the old drive is rewritten below the new one in the same
// write (the transfer's switch: the working folder was copied there). Prints what it did
// (renderDriveSelection).
[[nodiscard]] DriveSelection selectDrive(ServiceContext& ctx, const std::string& path,
                                         ParkedGuard guard, PinnedBase pinned = PinnedBase::kKeep);

// Parked sources (`*.hollin-old`, also with the `.{epoch}` suffix) at most
// six levels below `home`; links are not followed and parked folders are not
// entered.
[[nodiscard]] std::size_t countParkedSources(const std::filesystem::path& home);

}  // namespace brimvale::service
