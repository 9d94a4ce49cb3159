#include "app/cli/mover_context.h"

#include <unistd.h>

#include <iostream>

namespace brimvale::app {

MoverCommandContext moverContext(CommandContext& c, ConfirmFlags flags) {
  MoverCommandContext mc{
      c.paths, c.host,   c.base.mounts.get(),      c.base.host->computerName(), c.out,
      c.err,   std::cin, isatty(STDIN_FILENO) == 1};
  mc.confirm = confirmationHere(c, flags);
  mc.snapshotTool = c.snapshotTool;
  mc.launcher = c.base.launcher.get();
  mc.run = platform::runnerOf(*c.base.launcher);
  if (&c.out == &std::cout) mc.output = outputKindOf(STDOUT_FILENO);
  return mc;
}

}  // namespace brimvale::app
