// `brimvale uninstall [--purge] [--yes] [--dry-run] [--leave-relocated]`: stops Brimvale
// and removes what the installation put down, keeping the user's settings
// and data unless --purge. Folders still relocated stop it first, since their
// links would be left pointing into the drive.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>

#include "app/cli/stop_command.h"
#include "app/host/service_installer.h"

namespace brimvale::app {

struct UninstallOptions {
  bool purge = false;           // also remove ~/.brimvale
  bool yes = false;             // do not ask
  bool dryRun = false;          // show the plan, change nothing
  bool leaveRelocated = false;  // uninstall even while folders are relocated
};

struct UninstallHost {
  const StatePaths& paths;
  const ServiceInstaller& installer;  // names what the installation put down
  platform::ServiceManager& services;
  std::istream& in;
  bool interactive;  // a terminal to ask on
  std::ostream& out;
  std::ostream& err;
  StopLimits limits;
  // Brings everything home (the panic recovery, asked no question of its
  // own); offered on a terminal when relocations would stop the uninstall.
  // Nothing offered when empty.
  std::function<int()> bringEverythingHome = {};
  // This computer's name, which names its working folder on the drive.
  std::string computerName = {};
  // Whether a volume is mounted on a path; empty: whether the path is a folder.
  std::function<bool(const std::filesystem::path&)> isMounted = {};
};

// Lists what is still relocated (relocated::readStillRelocated: folders and apps, the
// drive connected or not), then the plan, confirmed as every command that
// deletes is (--yes, --dry-run, a terminal to ask on).
// Relocations, or a look for them that could not be finished, refuse without
// --leave-relocated, and always with --purge: the state it would delete is
// what finds their copies. Holds the
// relocator lock throughout, so no folder move starts meanwhile. Running it
// again after it finished, or after it stopped half-way, completes it.
// 0 when uninstalled (or nothing was installed), 1 when refused, declined or
// something stayed behind, each said in a sentence.
[[nodiscard]] int uninstallCommand(UninstallHost& host, const UninstallOptions& options);

}  // namespace brimvale::app
