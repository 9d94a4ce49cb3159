#include "app/cli/cleanup_old_entry.h"

#include <unistd.h>

#include <iostream>

#include "app/cli/cleanup_old_command.h"

namespace brimvale::app {
namespace {

void options(CLI::App& sub, CleanupOldOptions& o) {
  sub.add_flag("-y,--yes", o.yes, "delete the verified ones without asking first");
  sub.add_flag("--dry-run", o.dryRun, "only list them, deleting nothing");
}

int cleanupOld(CommandContext& c, CleanupOldOptions& o) {
  CleanupOldHost host{c.paths, c.out, c.err, std::cin, isatty(STDIN_FILENO) == 1};
  return cleanupOldCommand(host, o);
}

}  // namespace

CommandEntry cleanupOldEntry() {
  return commandEntry<CleanupOldOptions>(
      "cleanup-old",
      "parked originals: list them, then delete the ones whose copy holds everything, "
      "each compared byte for byte first (--yes, --dry-run)",
      options, cleanupOld);
}

}  // namespace brimvale::app
