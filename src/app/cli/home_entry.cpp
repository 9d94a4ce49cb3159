#include "app/cli/home_entry.h"

#include "app/cli/care_host.h"
#include "app/cli/json_option.h"
#include "common/base/platform_words.h"

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
  // The entry keeps a view of its help: the text lives as long as the program.
  static const std::string help = "how the " + std::string(kHostWords.startupDisk) +
                                  " is doing, what to do next, and the trend";
  return commandEntry<HomeOptions>("home", help, options, home);
}

}  // namespace brimvale::app
