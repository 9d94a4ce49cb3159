#include "app/cli/panic_recovery_entry.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "app/cli/mover_context.h"
#include "app/core/app_log.h"
#include "app/core/mover_commands.h"
#include "common/state/configured_drive.h"
#include "relocated/app_homecoming.h"
#include "relocated/folder_homecoming.h"

namespace brimvale::app {
namespace {

void options(CLI::App& sub, relocated::PanicOptions& o) {
  sub.add_flag("-y,--yes", o.yes, "bring everything home without asking first");
  sub.add_flag("--dry-run", o.dryRun, "show what would come home, changing nothing");
}

int panicRecovery(CommandContext& c, relocated::PanicOptions& o) {
  return bringEverythingHome(c, o);
}

}  // namespace

int bringEverythingHome(CommandContext& c, const relocated::PanicOptions& o) {
  // Without the drive's path no link into it can be told apart, so nothing could be checked.
  const auto drive = configuredDrive(c.paths);
  if (!drive) {
    c.err << driveUnknownMessage(drive.error(), c.paths) << "\n";
    return 1;
  }
  auto mc = moverContext(c);
  relocated::StagedHomecoming homecoming(
      c.paths, c.installerOptions().rsyncPath, mc.run,
      {.cancel = [&mc](const std::string& id) { return movesCommand(mc, "cancel", id) == 0; },
       .resume = [&mc] { return movesCommand(mc, "resume", "") == 0; }});
  AppLog log(c.paths.root / "brimvale.log", systemClock(), nullptr);
  relocated::EngineAppHomecoming apps(c.paths, c.base.host->computerName(), log.sink(), mc.run);
  relocated::PanicHost host{c.paths,
                            {workingFolderFor(*drive, c.base.host->computerName())},
                            homecoming,
                            apps,
                            c.installerOptions().rsyncPath,
                            [&](const std::filesystem::path& p) -> std::optional<std::uint64_t> {
                              const auto free = c.host.volumes->read(p.string()).availableCapacity;
                              if (!free || *free < 0) return std::nullopt;
                              return static_cast<std::uint64_t>(*free);
                            },
                            c.out,
                            c.err,
                            std::cin,
                            isatty(STDIN_FILENO) == 1,
                            mc.run};
  return relocated::panicRecoveryCommand(host, o);
}

CommandEntry panicRecoveryEntry() {
  return commandEntry<relocated::PanicOptions>(
      "panic-recovery",
      "bring everything home from the drive: parked originals back in place, relocated "
      "folders moved back, the service paused meanwhile (--yes, --dry-run)",
      options, panicRecovery);
}

}  // namespace brimvale::app
