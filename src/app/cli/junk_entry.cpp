#include "app/cli/junk_entry.h"

#include <unistd.h>

#include <iostream>

#include "app/cli/confirmation.h"
#include "app/core/junk_command.h"

namespace brimvale::app {
namespace {

int junk(CommandContext& c, JunkOptions& o) {
  JunkCommandContext jc{.stateDir = c.paths.state,
                        .home = c.paths.home,
                        .defaults = *c.host.defaults,
                        .launcher = *c.base.launcher,
                        .in = std::cin,
                        .out = c.out,
                        .err = c.err,
                        .inIsTerminal = isatty(STDIN_FILENO) == 1,
                        .confirm = confirmationHere(c, {.yes = o.yes, .dryRun = o.dryRun})};
  return junkCommand(jc, o);
}

}  // namespace

CommandEntry junkEntry() {
  return commandEntry<JunkOptions>(
      "junk",
      "the Rade Diriv scrap board: `junk list` (--filter F, --date D, --sort S, --json), `junk add "
      "TEXT` (--ttl T), `junk note` (the note on standard input), `junk image FILE`, `junk "
      "capture` (saves the clipboard), `junk "
      "pin|unpin|delete ID`, `junk lifetime ID T`, `junk copy ID`, `junk save ID FOLDER` "
      "(--replace), `junk clear` (asks first: --yes, --dry-run), `junk search QUERY` (finds "
      "similar "
      "wording, not "
      "meaning), `junk settings [KEY VALUE]` (--json)",
      addJunkOptions, junk);
}

}  // namespace brimvale::app
