#include "app/cli/command_context.h"

#include <cstdlib>

#include "common/state/gnu_rsync.h"

namespace brimvale::app {

InstallerOptions CommandContext::installerOptions() const {
  InstallerOptions options;
  options.scriptsFolder = scripts;
  const char* env = std::getenv("RSYNC");
  options.rsyncPath = resolveGnuRsync(env ? env : "", base.rsync->candidates());
#if defined(__APPLE__)
  options.launchctl = "/bin/launchctl";
#endif
  return options;
}

}  // namespace brimvale::app
