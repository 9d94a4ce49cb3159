// brim-vale: the background service program.
#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/base/injected_clock.h"
#include "common/base/stop_point.h"
#include "service/dispatch.h"

int main(int argc, char** argv) {
  // Everything the service creates is private to the user.
  umask(077);
  brimvale::platform::Platform platform = brimvale::platform::makeHostPlatform();
  brimvale::service::ServiceContext ctx(brimvale::StatePaths::forHome(brimvale::homeFolder()),
                                        platform, brimvale::systemClock(), std::cout, std::cerr);
  std::vector<std::string> args(argv + 1, argv + argc);
  brimvale::takeStopPointOption(args);
  brimvale::takeClockOption(args);
  return brimvale::service::runService(ctx, args);
}
