// The facilities only the application uses (settings, capacity figures,
// the desktop's notifications, the per-user service manager), built for the
// platform this program runs on.
#pragma once

#include <memory>

#include "common/state/paths.h"
#include "platform/notification_center.h"
#include "platform/platform.h"
#include "platform/service_manager.h"
#include "platform/user_defaults.h"
#include "platform/volume_resources.h"

namespace brimvale::platform {

struct AppPlatform {
  std::unique_ptr<UserDefaults> defaults;
  std::unique_ptr<VolumeResources> volumes;
  std::unique_ptr<DesktopNotifier> desktop;
  std::unique_ptr<ServiceManager> services;
};

// Linux: user defaults in {state}/user-defaults.json, statvfs, freedesktop
// notifications, `systemd --user` when the user's manager runs and the
// application-supervised service otherwise. macOS: `defaults`
// (domain com.brimvale.app), df/diskutil, the notification tool call of
// `base`, the LaunchAgent. `base` must outlive the result. `ownership`
// applies where the application supervises the service itself.
[[nodiscard]] AppPlatform makeHostAppPlatform(const StatePaths& paths, Platform& base,
                                              ServiceOwnership ownership);

}  // namespace brimvale::platform
