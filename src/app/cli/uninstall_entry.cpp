#include "app/cli/uninstall_entry.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "app/cli/panic_recovery_entry.h"
#include "app/cli/uninstall_command.h"
#include "app/host/service_installer.h"

namespace brimvale::app {
namespace {

void options(CLI::App& sub, UninstallOptions& o) {
  sub.add_flag("--purge", o.purge,
               "also remove ~/.brimvale: your settings, history and Brimvale's records");
  sub.add_flag("-y,--yes", o.yes, "uninstall without asking first");
  sub.add_flag("--dry-run", o.dryRun, "show what would be removed, changing nothing");
  sub.add_flag("--leave-relocated", o.leaveRelocated,
               "uninstall even while folders are relocated; their links keep working while the "
               "drive is attached");
}

int uninstall(CommandContext& c, UninstallOptions& o) {
  ServiceInstaller installer(c.paths, c.installerOptions(), *c.host.services,
                             [&](const std::string& line) { c.out << line << "\n"; });
  UninstallHost host{
      c.paths, installer, *c.host.services, std::cin, isatty(STDIN_FILENO) == 1, c.out, c.err, {}};
  host.bringEverythingHome = [&c] {
    // The uninstall's own question was the consent.
    return bringEverythingHome(c, {.yes = true});
  };
  host.computerName = c.base.host->computerName();
  host.isMounted = [mounts = c.base.mounts.get()](const std::filesystem::path& p) {
    return mounts->isMountedAt(p.string());
  };
  return uninstallCommand(host, o);
}

}  // namespace

CommandEntry uninstallEntry() {
  return commandEntry<UninstallOptions>(
      "uninstall",
      "stop Brimvale and remove what `install` put down, keeping ~/.brimvale unless "
      "--purge; refuses while folders are relocated (--leave-relocated goes on anyway)",
      options, uninstall);
}

}  // namespace brimvale::app
