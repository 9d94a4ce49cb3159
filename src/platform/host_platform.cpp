#include "platform/platform.h"

#include "platform/bundle_probe.h"
#include "platform/linux/linux_bundle_probe.h"
#include "platform/linux/linux_platform.h"
#include "platform/macos/mac_bundle_probe.h"
#include "platform/macos/mac_platform.h"

namespace brimvale::platform {

Platform makeHostPlatform() {
#if defined(__APPLE__)
  return makeMacPlatform(MacToolPaths{});
#else
  return makeLinuxPlatform(LinuxPaths{});
#endif
}

std::unique_ptr<BundleProbe> makeHostBundleProbe(ProcessRunner run) {
#if defined(__APPLE__)
  return makeMacBundleProbe(MacBundleToolPaths{}, std::move(run));
#else
  (void)run;  // everything is read from files here
  return makeLinuxBundleProbe();
#endif
}

}  // namespace brimvale::platform
