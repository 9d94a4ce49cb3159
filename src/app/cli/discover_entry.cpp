#include "app/cli/discover_entry.h"

#include "app/cli/json_option.h"
#include "app/cli/view_host.h"
#include "app/core/discover_command.h"

namespace brimvale::app {
namespace {

struct DiscoverOptions {
  bool json = false;
};

void options(CLI::App& sub, DiscoverOptions& o) { jsonOption(sub, o.json); }

int discover(CommandContext& c, DiscoverOptions& o) {
  ViewCommandHost host = viewHost(c, o.json, kDefaultServiceLimitSecs);
  return discoverCommand(host);
}

}  // namespace

CommandEntry discoverEntry() {
  return commandEntry<DiscoverOptions>(
      "discover",
      "the drives that could hold relocated folders, and the biggest folders of your "
      "home folder",
      options, discover);
}

}  // namespace brimvale::app
