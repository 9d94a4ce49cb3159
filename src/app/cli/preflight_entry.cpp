#include "app/cli/preflight_entry.h"

#include <algorithm>
#include <cstdint>

#include "app/cli/preflight.h"
#include "app/host/service_installer.h"
#include "common/base/file_calls.h"
#include "common/state/configured_drive.h"
#include "common/state/parked_names.h"
#include "mover/manifest.h"

namespace brimvale::app {
namespace {

int preflight(CommandContext& c) {
  PreflightFacts f;
  if (auto drive = configuredDrive(c.paths); drive) {
    f.mount = *drive;
    f.working = workingFolderFor(f.mount, c.base.host->computerName());
    f.mounted = c.base.mounts->isMountedAt(f.mount.string());
    f.laidOut = f.mounted && pathExists(f.working / kMarkerFileName).value_or(false);
    if (const auto free = c.host.volumes->read(f.mount.string()).availableCapacity;
        f.mounted && free && *free >= 0) {
      f.driveFreeBytes = static_cast<std::uint64_t>(*free);
    }
  } else {
    f.driveUnknown = driveUnknownMessage(drive.error(), c.paths);
  }
  f.rsyncPath = c.installerOptions().rsyncPath;
  f.stateProblem = stateFolderProblem(c.paths);
  ServiceInstaller installer(c.paths, c.installerOptions(), *c.host.services,
                             [](const std::string&) {});
  f.installed = installer.isInstalled();
  f.running = c.host.services->state().pid.has_value();
  f.parked = findParkedOriginals(c.paths.home).size();
  for (const auto& m : mover::ManifestStore(c.paths.state, {}, systemClock()).all()) {
    if (!mover::isTerminal(m.phase)) ++f.unfinishedMoves;
  }
  const auto checks = preflightChecks(f);
  c.out << renderPreflight(checks);
  return std::all_of(checks.begin(), checks.end(), [](const auto& k) { return k.ok; }) ? 0 : 1;
}

}  // namespace

CommandEntry preflightEntry() {
  return commandEntry("preflight",
                      "everything a first relocation needs, checked, with the fix for each that "
                      "fails",
                      preflight);
}

}  // namespace brimvale::app
