// brimvale: the application.
#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/commands.h"
#include "common/base/stop_point.h"

int main(int argc, char** argv) {
  // Everything the application creates under ~/.brimvale is private.
  umask(077);
  std::vector<std::string> args(argv, argv + argc);
  brimvale::takeStopPointOption(args);
  std::vector<char*> kept;
  for (auto& a : args) kept.push_back(a.data());
  kept.push_back(nullptr);
  return brimvale::app::runBrimvale(static_cast<int>(args.size()), kept.data(), std::cout,
                                    std::cerr);
}
