#include "app/cli/drives_entry.h"

#include "app/cli/view_host.h"

namespace brimvale::app {
namespace {

int drives(CommandContext& c, ViewOptions& o) {
  ViewCommandHost host = viewHost(c, o.json, o.limitSecs);
  return drivesViewCommand(host, o.request);
}

}  // namespace

CommandEntry drivesEntry() {
  return commandEntry<ViewOptions>(
      "drives",
      "drives that could hold the relocated folders, with their verdicts; `drives "
      "assess PATH` explains the verdict on one, `drives select PATH` uses it",
      viewOptions, drives);
}

}  // namespace brimvale::app
