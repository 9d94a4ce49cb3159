// The drive subcommands behind the Choose Drive and Inspect windows:
// list-drives, assess, benchmark, select-drive, nvme-info, eject-nvme, doctor.
#pragma once

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

enum class ParkedGuard { kApply, kBypass };

// What select-drive did: its exit status (0 done or unchanged, 1 bad path or
// the configuration could not be switched, 2 refused) and, unless 0, the
// sentence naming why, as printed.
struct DriveSelection {
  int exitCode = 0;
  std::string problem;
};

// Points NVMe= at `path` (configuration loaded), compared and written without
// trailing slashes. Every NVMe assignment in the file is rewritten, and the
// switch counts only when the configuration reads back the new drive;
// otherwise the previous file is put back. Refuses (2) while parked sources
// would dangle, unless the guard is bypassed, as only the transfer does.
[[nodiscard]] DriveSelection selectDrive(ServiceContext& ctx, const std::string& path,
                                         ParkedGuard guard);

// Parked sources (`*.hollin-old`, also with the `.{epoch}` suffix) at most
// six levels below `home`; links are not followed and parked folders are not
// entered.
[[nodiscard]] std::size_t countParkedSources(const std::filesystem::path& home);

}  // namespace brimvale::service
