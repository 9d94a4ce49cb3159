#include "app/cli/panic_recovery_entry.h"

#include <cstdint>
#include <filesystem>
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

void options(CLI::App& sub, ConfirmFlags& o) { confirmFlags(sub, o, "bring everything home"); }

int panicRecovery(CommandContext& c, ConfirmFlags& o) { return bringEverythingHome(c, o); }

}  // namespace

int bringEverythingHome(CommandContext& c, ConfirmFlags flags) {
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
                            [confirm = confirmationHere(c, flags)] {
                              return decide(confirm, "Bring all of this home now.") == Verdict::kGo;
                            },
                            mc.run};
  return relocated::panicRecoveryCommand(host, {.dryRun = flags.dryRun});
}

CommandEntry panicRecoveryEntry() {
  return commandEntry<ConfirmFlags>(
      "panic-recovery",
      "bring everything home from the drive: parked originals back in place, relocated "
      "folders moved back, the service paused meanwhile (--yes, --dry-run)",
      options, panicRecovery);
}

}  // namespace brimvale::app
