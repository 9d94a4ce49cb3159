#include "app/cli/relocated_entry.h"

#include "app/cli/json_option.h"
#include "app/cli/mover_context.h"
#include "app/core/relocated_command.h"

namespace brimvale::app {
namespace {

struct RelocatedEntryOptions {
  RelocatedOptions relocated;
  ConfirmFlags confirm;  // move-back, delete
  bool json = false;
};

void options(CLI::App& sub, RelocatedEntryOptions& o) {
  sub.add_option("action", o.relocated.action, "move-back ID, delete ID or scan")
      ->check(CLI::IsMember({"move-back", "delete", "scan"}));
  sub.add_option("id", o.relocated.id, "the relocated folder's id (a unique prefix is enough)");
  confirmFlags(sub, o.confirm, "move back or delete");
  sub.add_flag("--overwrite", o.relocated.overwrite,
               "move back: the drive's copy replaces newer files of the same name on the internal "
               "disk (files only there are kept; programs using the folder are not looked for)");
  sub.add_flag("--json", o.json, "the list as JSON (see docs/json-schemas.md)");
}

int relocated(CommandContext& c, RelocatedEntryOptions& o) {
  if (o.json && !o.relocated.action.empty()) {
    return jsonRefused(c, "the list alone (`brimvale relocated --json`)", o.relocated.action);
  }
  o.relocated.json = o.json;
  auto mc = moverContext(c, o.confirm);
  return relocatedCommand(mc, o.relocated);
}

}  // namespace

CommandEntry relocatedEntry() {
  return commandEntry<RelocatedEntryOptions>(
      "relocated",
      "folders relocated to the drive and how each stands; `relocated move-back ID` "
      "brings one home, `relocated delete ID` clears away a broken one (both ask first: "
      "--yes, --dry-run), `relocated scan` looks for relocations on the drive",
      options, relocated);
}

}  // namespace brimvale::app
