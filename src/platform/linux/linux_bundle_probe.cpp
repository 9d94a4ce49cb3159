#include "platform/linux/linux_bundle_probe.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace brimvale::platform {
namespace {

class LinuxBundleProbe final : public BundleProbe {
 public:
  std::optional<std::int64_t> lastUsed(const std::string&, const std::string& executable) override {
    if (executable.empty()) return std::nullopt;
    struct statvfs volume {};
    if (statvfs(executable.c_str(), &volume) != 0 || (volume.f_flag & ST_NOATIME) != 0) {
      return std::nullopt;
    }
    struct stat facts {};
    if (stat(executable.c_str(), &facts) != 0 || facts.st_atim.tv_sec <= 0) return std::nullopt;
    return facts.st_atim.tv_sec;
  }

  bool appleSigned(const std::string&) override { return false; }
};

}  // namespace

std::unique_ptr<BundleProbe> makeLinuxBundleProbe() { return std::make_unique<LinuxBundleProbe>(); }

}  // namespace brimvale::platform
