#include "app/cli/scan_entry.h"

#include "app/cli/view_host.h"

namespace brimvale::app {
namespace {

int scan(CommandContext& c, ViewOptions& o) {
  ViewCommandHost host = viewHost(c, o.json, o.limitSecs);
  return scanViewCommand(host, o.request);
}

}  // namespace

CommandEntry scanEntry() {
  return commandEntry<ViewOptions>(
      "scan", "what uses the most space in your home folder, largest first", viewOptions, scan);
}

}  // namespace brimvale::app
