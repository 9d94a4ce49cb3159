#include "service/core/service_context.h"

#include <cstdlib>

#include "common/state/gnu_rsync.h"
#include "common/state/remembered_versions.h"

namespace brimvale::service {

std::string ServiceContext::workingFolderName() const {
  return brimvale::workingFolderName(platform.host->computerName());
}

const std::string& ServiceContext::rsyncPath() {
  if (!rsync_) {
    const char* env = std::getenv("RSYNC");
    rsync_ = resolveGnuRsync(env ? env : "", platform.rsync->candidates(),
                             rememberingVersions(platform::runnerOf(*platform.launcher),
                                                 paths.state / kProgramVersionsFile));
  }
  return *rsync_;
}

bool loadConfig(ServiceContext& ctx) {
  ctx.config.reset();
  auto loaded = loadServiceConfig(ctx.paths, ctx.workingFolderName());
  if (!loaded) {
    ctx.log.say(configNotFoundMessage(ctx.paths.config));
    return false;
  }
  ctx.config = std::move(*loaded);
  return true;
}

}  // namespace brimvale::service
