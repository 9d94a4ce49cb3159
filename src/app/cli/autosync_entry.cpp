#include "app/cli/autosync_entry.h"

#include <string>

#include "app/cli/json_option.h"
#include "app/cli/mover_context.h"
#include "app/core/app_log.h"
#include "app/core/autosync_command.h"

namespace brimvale::app {
namespace {

struct AutosyncEntryOptions {
  AutoSyncOptions autosync;
  bool json = false;
  ConfirmFlags confirm;  // scan
};

void options(CLI::App& sub, AutosyncEntryOptions& o) {
  sub.add_option("action", o.autosync.action,
                 "list (default), add, edit, enable, disable, remove or scan")
      ->check(CLI::IsMember({"list", "add", "edit", "enable", "disable", "remove", "scan"}));
  sub.add_option("words", o.autosync.words,
                 "add: FOLDER DEST_PARENT; edit: ID DEST_PARENT; the others: ID");
  sub.add_option("--exclude", o.autosync.excludes,
                 "add, edit: a shell-style name pattern to leave where it is (repeatable; edit "
                 "replaces the list)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  jsonOption(sub, o.json);
  confirmFlags(sub, o.confirm, "scan: move");
}

int autosync(CommandContext& c, AutosyncEntryOptions& o) {
  o.autosync.json = o.json;
  auto mc = moverContext(c, o.confirm);
  AppLog log(c.paths.root / "brimvale.log", systemClock(), nullptr);
  AutoSyncCommandContext ac{
      .mover = mc,
      .isOpen = [&c](const std::string& p) { return c.base.files->isOpen(p); },
      .log = [&log](const std::string& line) { log.write(line); }};
  return autosyncCommand(ac, o.autosync);
}

}  // namespace

CommandEntry autosyncEntry() {
  return commandEntry<AutosyncEntryOptions>(
      "autosync",
      "watched folders whose settled files move to the fast drive as links: `autosync` "
      "lists them (--json), `autosync add FOLDER DEST_PARENT [--exclude PATTERN]...`, "
      "`autosync edit ID DEST_PARENT [--exclude PATTERN]...` changes where new files go and "
      "what is left out, `autosync enable|disable|remove ID`, `autosync scan ID` moves what is new "
      "now "
      "(asks first: --yes, --dry-run)",
      options, autosync);
}

}  // namespace brimvale::app
