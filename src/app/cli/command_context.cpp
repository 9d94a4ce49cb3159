#include "app/cli/command_context.h"

#include <cstdlib>

#include "common/state/gnu_rsync.h"

namespace brimvale::app {

InstallerOptions CommandContext::installerOptions() const {
  InstallerOptions options;
  options.scriptsFolder = scripts;
  options.run = platform::runnerOf(*base.launcher);
  std::error_code ec;
  options.application = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (const char* path = std::getenv("PATH")) options.searchPath = path;
  const char* env = std::getenv("RSYNC");
  options.rsyncPath =
      resolveGnuRsync(env ? env : "", base.rsync->candidates(), platform::runnerOf(*base.launcher));
#if defined(__APPLE__)
  options.launchctl = "/bin/launchctl";
#endif
  return options;
}

}  // namespace brimvale::app
