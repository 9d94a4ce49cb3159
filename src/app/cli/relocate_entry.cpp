#include "app/cli/relocate_entry.h"

#include <string>
#include <vector>

#include "app/cli/allow_root_option.h"
#include "app/cli/mover_context.h"
#include "app/cli/relocate_command.h"
#include "app/core/mover_commands.h"

namespace brimvale::app {
namespace {

struct RelocateOptions {
  std::vector<std::string> folders;
  MoveOptions move;  // the options each folder's move runs with
};

void options(CLI::App& sub, RelocateOptions& o) {
  sub.add_option("folders", o.folders, "the folders to relocate, in turn");
  sub.add_flag("-y,--yes", o.move.yes, "move without asking first");
  sub.add_flag("--dry-run", o.move.dryRun, "show what would move, changing nothing");
  sub.add_option("--verify", o.move.verify, "verification for this run")
      ->check(CLI::IsMember({"fast", "thorough", "off"}));
  sub.add_flag("--quit-apps", o.move.quitApps,
               "ask the apps using files in a folder to quit first");
  sub.add_flag("--continue", o.move.continueAnyway,
               "move even while apps use files in a folder, without asking");
  allowRootOption(sub, o.move.allowedRoots);
}

int relocate(CommandContext& c, RelocateOptions& o) {
  if (o.move.quitApps && o.move.continueAnyway) {
    c.err << "Choose either --quit-apps or --continue, not both. Nothing was moved.\n";
    return 2;
  }
  auto mc = moverContext(c, {.yes = o.move.yes, .dryRun = o.move.dryRun});
  return relocateCommand(
      o.folders, o.move, [&mc](const MoveOptions& m) { return moveCommand(mc, m); }, c.out, c.err);
}

}  // namespace

CommandEntry relocateEntry() {
  return commandEntry<RelocateOptions>(
      "relocate",
      "relocate several folders in turn, each as `move` does, stopping at the first "
      "that fails (--yes, --dry-run)",
      options, relocate);
}

}  // namespace brimvale::app
