#include "platform/app_platform.h"

#include <unistd.h>

namespace brimvale::platform {

// macOS: launchd owns the job (RunAtLoad and KeepAlive are false), so
// `ownership` is not needed; Linux: `base` is not needed.
AppPlatform makeHostAppPlatform(const StatePaths& paths, [[maybe_unused]] Platform& base,
                                [[maybe_unused]] ServiceOwnership ownership) {
  AppPlatform p;
  const ProcessRunner run = runnerOf(*base.launcher);
#if defined(__APPLE__)
  p.defaults = makeMacUserDefaults("/usr/bin/defaults", "com.brimvale.app", run);
  p.volumes = makeMacVolumeResources("/bin/df", "/usr/sbin/diskutil", run);
  p.desktop = makeToolNotifier(*base.notifier);
  p.services = makeLaunchAgentManager(paths.home, "/bin/launchctl", getuid(), run);
#else
  p.defaults = makeJsonUserDefaults(paths.state / "user-defaults.json");
  p.volumes = makeStatvfsVolumeResources();
  const std::string runtimeDir = "/run/user/" + std::to_string(getuid());
  p.desktop = makeFreedesktopNotifier("/usr/bin/busctl", runtimeDir, run);
  if (userSystemdRuns(runtimeDir) && access("/usr/bin/systemctl", X_OK) == 0) {
    p.services = makeSystemdUserServiceManager(paths.home, "/usr/bin/systemctl", run);
  } else {
    p.services = makeSupervisedServiceManager(paths.state, ownership);
  }
#endif
  return p;
}

}  // namespace brimvale::platform
