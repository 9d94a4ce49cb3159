#include "app/cli/care_host.h"

namespace brimvale::app {

CareCommandHost careHost(CommandContext& c, bool json) {
  CareCommandHost host{c.paths,        c.host, c.installerOptions().rsyncPath,
                       c.snapshotTool, c.out,  c.err};
  host.json = json;
  host.run = platform::runnerOf(*c.base.launcher);
  return host;
}

}  // namespace brimvale::app
