#include "common/state/paths.h"
#include "platform/app_relocation_tools.h"
#include "platform/linux/linux_app_relocation_tools.h"
#include "platform/macos/mac_app_relocation_tools.h"

namespace brimvale::platform {

// Every macOS step runs a tool and none is skipped, so there `log` has nothing to say.
std::unique_ptr<AppRelocationTools> makeHostAppRelocationTools([[maybe_unused]] ToolLog log,
                                                               ProcessRunner run) {
#if defined(__APPLE__)
  return makeMacAppRelocationTools(MacAppToolPaths{}, std::move(run));
#else
  return makeLinuxAppRelocationTools(installedLinuxAppTools(homeFolder()), std::move(log),
                                     std::move(run));
#endif
}

}  // namespace brimvale::platform
