#include "common/state/paths.h"
#include "platform/app_relocation_tools.h"
#include "platform/linux/linux_app_relocation_tools.h"
#include "platform/macos/mac_app_relocation_tools.h"

namespace brimvale::platform {

std::unique_ptr<AppRelocationTools> makeHostAppRelocationTools(ToolLog log, ProcessRunner run) {
#if defined(__APPLE__)
  (void)log;  // every macOS step runs a tool; none is skipped
  return makeMacAppRelocationTools(MacAppToolPaths{}, std::move(run));
#else
  return makeLinuxAppRelocationTools(installedLinuxAppTools(homeFolder()), std::move(log),
                                     std::move(run));
#endif
}

}  // namespace brimvale::platform
