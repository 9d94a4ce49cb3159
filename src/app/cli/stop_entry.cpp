#include "app/cli/stop_entry.h"

#include "app/cli/stop_command.h"

namespace brimvale::app {
namespace {

int stop(CommandContext& c) { return stopCommand(c.paths, *c.host.services, c.out, c.err); }

}  // namespace

CommandEntry stopEntry() {
  return commandEntry("stop", "stop Brimvale: the running application and the background service",
                      stop);
}

}  // namespace brimvale::app
