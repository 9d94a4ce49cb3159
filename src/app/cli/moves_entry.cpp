#include "app/cli/moves_entry.h"

#include <string>
#include <vector>

#include "app/cli/allow_root_option.h"
#include "app/cli/json_option.h"
#include "app/cli/mover_context.h"
#include "app/core/mover_commands.h"

namespace brimvale::app {
namespace {

struct MovesOptions {
  std::string action;  // cancel, revert, clear or resume; empty: the list
  std::string id;
  bool json = false;
  std::vector<std::string> allowedRoots;
  ConfirmFlags confirm;  // revert
};

void options(CLI::App& sub, MovesOptions& o) {
  sub.add_option("action", o.action, "cancel, revert, clear or resume")
      ->check(CLI::IsMember({"cancel", "revert", "clear", "resume"}));
  sub.add_option("id", o.id, "the move's id (a unique prefix is enough)");
  sub.add_flag("--json", o.json, "the list as JSON: one record per move, newest first");
  allowRootOption(sub, o.allowedRoots);
  confirmFlags(sub, o.confirm, "revert");
}

int moves(CommandContext& c, MovesOptions& o) {
  auto mc = moverContext(c, o.confirm);
  if (o.json) {
    if (!o.action.empty()) {
      return jsonRefused(c, "the list alone (`brimvale moves --json`)", o.action);
    }
    return movesJsonCommand(mc);
  }
  return movesCommand(mc, o.action, o.id, o.allowedRoots);
}

}  // namespace

CommandEntry movesEntry() {
  return commandEntry<MovesOptions>(
      "moves",
      "list folder moves; `moves cancel|revert|clear ID` (cancel also stops a move "
      "another Brimvale runs; revert asks first: --yes, --dry-run), `moves resume`",
      options, moves);
}

}  // namespace brimvale::app
