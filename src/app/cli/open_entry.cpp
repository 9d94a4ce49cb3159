#include "app/cli/open_entry.h"

#include "app/cli/open_command.h"
#include "cloud/rclone_auth.h"

namespace brimvale::app {
namespace {

struct OpenOptions {
  bool noBrowser = false;
};

void options(CLI::App& sub, OpenOptions& o) {
  sub.add_flag("--no-browser", o.noBrowser,
               "only write the one-time sign-in page and print its path");
}

int openDashboard(CommandContext& c, OpenOptions& o) {
  OpenCommandHost host{c.paths, nullptr, c.out, c.err};
  if (!o.noBrowser)
    host.openInBrowser = cloud::systemBrowserOpener(platform::runnerOf(*c.base.launcher));
  return openCommand(host);
}

}  // namespace

CommandEntry openEntry() {
  return commandEntry<OpenOptions>(
      "open",
      "open the dashboard that `brimvale run` serves in your browser, signed in with a "
      "one-time link (--no-browser prints the sign-in page's path instead)",
      options, openDashboard);
}

}  // namespace brimvale::app
