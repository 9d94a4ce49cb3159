#include "app/cli/service_entry.h"

#include <chrono>
#include <string>
#include <vector>

#include "app/core/service_command.h"
#include "app/core/service_view_command.h"

namespace brimvale::app {
namespace {

struct ServiceOptions {
  int limitSecs = kDefaultServiceLimitSecs;
  std::vector<std::string> arguments;
};

void options(CLI::App& sub, ServiceOptions& o) {
  sub.add_option("--timeout", o.limitSecs, "seconds before the command is stopped")
      ->capture_default_str();
  sub.add_option("arguments", o.arguments, "the brim-vale subcommand to run, and its arguments")
      ->required();
  // Every word after the subcommand's name is brim-vale's, "-h" and "--help"
  // included: `brimvale service pause --help` shows brim-vale's help on pause.
  sub.positionals_at_end();
}

int service(CommandContext& c, ServiceOptions& o) {
  ProcessResult r = runServiceCommand(platform::runnerOf(*c.base.launcher), c.paths,
                                      c.installerOptions().rsyncPath, o.arguments,
                                      std::chrono::seconds(o.limitSecs));
  c.out << r.out;
  c.err << r.err;
  if (r.outcome == ProcessOutcome::kExited) return r.exitCode;
  c.err << serviceRunFailure(r);
  return 1;
}

}  // namespace

CommandEntry serviceEntry() {
  return commandEntry<ServiceOptions>("service", "run one brim-vale subcommand with a time limit",
                                      options, service);
}

}  // namespace brimvale::app
