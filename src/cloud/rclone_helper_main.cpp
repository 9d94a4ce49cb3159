// rclone-helper: the remote list's companion program, installed beside the
// service. Prints one JSON document; see rclone_helper.h.
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "cloud/rclone_helper.h"
#include "cloud/rclone_locator.h"
#include "platform/posix_process_launcher.h"

int main(int argc, char** argv) {
  using namespace brimvale::cloud;
  const auto launcher = brimvale::platform::makePosixProcessLauncher();
  const auto run = brimvale::platform::runnerOf(*launcher);
  // The service definition names the application's own copy in RCLONE.
  std::optional<std::string> rclone;
  if (const char* named = std::getenv("RCLONE"); named && access(named, X_OK) == 0) {
    rclone = named;
  } else {
    rclone = locateRclone(defaultRcloneSearch(), run);
  }
  const HelperOutput output =
      runHelperCommand(std::vector<std::string>(argv + 1, argv + argc), rclone, run);
  std::cout << output.out;
  std::cerr << output.err;
  return output.status;
}
