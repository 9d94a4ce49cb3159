#include "app/cli/view_host.h"

#include <unistd.h>

#include <chrono>

#include "app/core/service_command.h"

namespace brimvale::app {

void viewOptions(CLI::App& sub, ViewOptions& o) {
  sub.add_option("request", o.request, "what to show");
  sub.add_flag("--json", o.json, "print the service's JSON answer unchanged");
  sub.add_option("--timeout", o.limitSecs, "seconds before the service command is stopped")
      ->capture_default_str();
}

ViewCommandHost viewHost(CommandContext& c, bool json, int limitSecs) {
  return {.service =
              [&c, limitSecs](const std::vector<std::string>& args) {
                return runServiceCommand(platform::runnerOf(*c.base.launcher), c.paths,
                                         c.installerOptions().rsyncPath, args,
                                         std::chrono::seconds(limitSecs));
              },
          .json = json,
          .terminal = isatty(STDOUT_FILENO) == 1,
          .out = c.out,
          .err = c.err};
}

}  // namespace brimvale::app
