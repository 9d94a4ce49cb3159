// brimvale: the application.
#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "common/base/best_effort.h"
#include "common/base/injected_clock.h"
#include "common/base/stop_point.h"
#include "mover/switch_privileged.h"

int main(int argc, char** argv) {
  // Everything the application creates under ~/.brimvale is private.
  umask(077);
  std::vector<std::string> args(argv, argv + argc);
  brimvale::takeStopPointOption(args);
  brimvale::takeClockOption(args);
  // The drive switch's privileged helper, run under pkexec; kept out of the
  // command table because no one types it.
  if (args.size() > 1 && args[1] == brimvale::mover::kRelinkPrivilegedCommand) {
    const brimvale::DiagnosticsLog diagnostics("/dev/null");
    return brimvale::mover::relinkPrivileged({args.begin() + 2, args.end()}, std::cerr,
                                             brimvale::FileOperations::real(), diagnostics);
  }
  std::vector<char*> kept;
  for (auto& a : args) kept.push_back(a.data());
  kept.push_back(nullptr);
  return brimvale::app::runBrimvale(static_cast<int>(args.size()), kept.data(), std::cout,
                                    std::cerr);
}
