#include "service/service_context.h"

#include <cstdlib>

#include "common/gnu_rsync.h"

namespace brimvale::service {

std::string ServiceContext::workingFolderName() const {
  return brimvale::workingFolderName(platform.host->computerName());
}

const std::string& ServiceContext::rsyncPath() {
  if (!rsync_) {
    const char* env = std::getenv("RSYNC");
    rsync_ = resolveGnuRsync(env ? env : "", platform.rsync->candidates());
  }
  return *rsync_;
}

}  // namespace brimvale::service
