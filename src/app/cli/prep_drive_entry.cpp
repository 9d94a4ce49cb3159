#include "app/cli/prep_drive_entry.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/prep_drive_command.h"
#include "app/core/service_command.h"
#include "common/state/configured_drive.h"

namespace brimvale::app {
namespace {

void options(CLI::App& sub, PrepDriveOptions& o) {
  sub.add_option("drive", o.drive, "the drive's mount path (the configured one)");
  // --yes as every confirming command takes it; --auto as the numbered script has always passed it.
  sub.add_flag("--auto,-y,--yes", o.autoYes, "lay it out without asking first");
  sub.add_flag("--dry-run", o.dryRun, "say what would be laid out, changing nothing");
  sub.add_flag("--allow-other-computer", o.allowOtherComputer,
               "lay out this computer's folder beside another computer's");
}

int prepDrive(CommandContext& c, PrepDriveOptions& o) {
  auto drive = configuredDrive(c.paths);
  PrepDriveHost host{c.paths,
                     drive.value_or(std::filesystem::path()),
                     drive ? std::string() : driveUnknownMessage(drive.error(), c.paths),
                     c.base.host->computerName(),
                     [&c](const std::vector<std::string>& args) {
                       return runServiceCommand(platform::runnerOf(*c.base.launcher), c.paths,
                                                c.installerOptions().rsyncPath, args,
                                                std::chrono::seconds(kDefaultServiceLimitSecs));
                     },
                     c.out,
                     c.err,
                     std::cin,
                     isatty(STDIN_FILENO) == 1};
  return prepDriveCommand(host, o);
}

}  // namespace

CommandEntry prepDriveEntry() {
  return commandEntry<PrepDriveOptions>(
      "prep-drive",
      "lay out the drive for Brimvale as the service's `recover` does, refusing a drive "
      "that holds another computer's folder (--auto, --dry-run)",
      options, prepDrive);
}

}  // namespace brimvale::app
