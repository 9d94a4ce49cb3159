#include "platform/platform.h"

#include "platform/linux/linux_platform.h"
#include "platform/macos/mac_platform.h"

namespace brimvale::platform {

Platform makeHostPlatform() {
#if defined(__APPLE__)
  return makeMacPlatform(MacToolPaths{});
#else
  return makeLinuxPlatform(LinuxPaths{});
#endif
}

}  // namespace brimvale::platform
