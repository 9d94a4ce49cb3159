#include <sys/statvfs.h>

#include "platform/volume_resources.h"

namespace brimvale::platform {
namespace {

class StatvfsVolumeResources final : public VolumeResources {
 public:
  VolumeResourceValues read(const std::string& path) override {
    struct statvfs fs {};
    if (statvfs(path.c_str(), &fs) != 0) return {};
    return {static_cast<std::int64_t>(fs.f_blocks * fs.f_frsize),
            static_cast<std::int64_t>(fs.f_bavail * fs.f_frsize), std::nullopt};
  }
};

}  // namespace

std::unique_ptr<VolumeResources> makeStatvfsVolumeResources() {
  return std::make_unique<StatvfsVolumeResources>();
}

}  // namespace brimvale::platform
