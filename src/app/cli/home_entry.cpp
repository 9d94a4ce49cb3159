#include "app/cli/home_entry.h"

#include "app/cli/care_host.h"
#include "app/cli/json_option.h"

namespace brimvale::app {
namespace {

struct HomeOptions {
  bool json = false;
};

void options(CLI::App& sub, HomeOptions& o) { jsonOption(sub, o.json); }

int home(CommandContext& c, HomeOptions& o) {
  CareCommandHost host = careHost(c, o.json);
  return homeCommand(host);
}

}  // namespace

CommandEntry homeEntry() {
  return commandEntry<HomeOptions>(
      "home", "how the startup disk is doing, what to do next, and the trend", options, home);
}

}  // namespace brimvale::app
