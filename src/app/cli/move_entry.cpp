#include "app/cli/move_entry.h"

#include "app/cli/allow_root_option.h"
#include "app/cli/mover_context.h"
#include "app/core/mover_commands.h"

namespace brimvale::app {
namespace {

void options(CLI::App& sub, MoveOptions& o) {
  sub.add_option("folder", o.folder, "the folder to relocate")->required();
  sub.add_option("--to", o.to,
                 "the folder on the drive, inside Brimvale's folder there, that receives the copy");
  sub.add_option("--policy", o.policy,
                 "what happens to a copy already there: merge (default), override or "
                 "merge-keep-newer");
  sub.add_flag("--no-links", o.noLinks,
               "move without leaving links: the original goes once its copy is verified");
  sub.add_option("--verify", o.verify, "verification for this run")
      ->check(CLI::IsMember({"fast", "thorough", "off"}));
  sub.add_flag("-y,--yes", o.yes, "move without asking first");
  sub.add_flag("--dry-run", o.dryRun, "show what would move, changing nothing");
  sub.add_flag("--quit-apps", o.quitApps, "ask the apps using files in the folder to quit first");
  sub.add_flag("--continue", o.continueAnyway,
               "move even while apps use files in the folder, without asking");
  allowRootOption(sub, o.allowedRoots);
  sub.add_flag("--bypass-recent-write-guard", o.bypassRecentWriteGuard,
               "move even if files in the folder changed recently (this run only)");
}

int move(CommandContext& c, MoveOptions& o) {
  if (o.quitApps && o.continueAnyway) {
    c.err << "Choose either --quit-apps or --continue, not both. Nothing was moved.\n";
    return 2;
  }
  auto mc = moverContext(c, {.yes = o.yes, .dryRun = o.dryRun});
  return moveCommand(mc, o);
}

}  // namespace

CommandEntry moveEntry() {
  return commandEntry<MoveOptions>(
      "move",
      "relocate a folder to the fast drive, leaving links behind; asks first "
      "(--yes skips the question, --dry-run only shows the plan, --quit-apps or "
      "--continue settles apps using the folder); Ctrl-C cancels",
      options, move);
}

}  // namespace brimvale::app
