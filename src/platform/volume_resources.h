// The capacity figures of the volume holding a path, each one present only
// when the platform supplies it (the storage warning monitor picks among them).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/base/process.h"

namespace brimvale::platform {

struct VolumeResourceValues {
  std::optional<std::int64_t> totalCapacity;
  std::optional<std::int64_t> availableCapacity;
  // Includes space the system can purge on demand; macOS only.
  std::optional<std::int64_t> availableCapacityForImportantUsage;
};

class VolumeResources {
 public:
  virtual ~VolumeResources() = default;
  // A volume that cannot be read gives all figures absent.
  [[nodiscard]] virtual VolumeResourceValues read(const std::string& path) = 0;
};

// Linux: statvfs (blocks and blocks available to unprivileged users).
[[nodiscard]] std::unique_ptr<VolumeResources> makeStatvfsVolumeResources();

// macOS: `df -k` for the total and plain available figures, `diskutil info`
// for the important-usage figure.
[[nodiscard]] std::unique_ptr<VolumeResources> makeMacVolumeResources(std::string df,
                                                                      std::string diskutil,
                                                                      ProcessRunner run);

}  // namespace brimvale::platform
