#include "app/cli/run_entry.h"

#include <iostream>

#include "app/cli/stop_command.h"
#include "app/core/app_log.h"
#include "app/core/run_loop.h"
#include "app/host/application.h"

namespace brimvale::app {
namespace {

int run(CommandContext& c) {
  // Lets `brimvale stop` and `brimvale uninstall` find this process.
  const auto mark = RunningAppMark::take(c.paths);
  RunLoop loop;
  AppLog log(c.paths.root / "brimvale.log", systemClock(), &c.out);
  Application application(c.paths, c.host, c.installerOptions(), loop, log,
                          c.base.host->computerName(), *c.base.mounts, *c.base.volumes,
                          *c.base.launcher);
  return application.run();
}

}  // namespace

CommandEntry runEntry() {
  CommandEntry entry = commandEntry("run",
                                    "run the application: start the service, deliver "
                                    "notifications, watch free space; stops on Ctrl-C or SIGTERM",
                                    run);
  // The service the application supervises ends with it.
  entry.service = platform::ServiceOwnership::kEndsWithCaller;
  return entry;
}

}  // namespace brimvale::app
