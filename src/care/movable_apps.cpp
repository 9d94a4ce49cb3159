#include "care/movable_apps.h"

#include "common/base/disk_usage.h"

namespace brimvale::care {

std::vector<std::filesystem::path> applicationFolders(const std::filesystem::path& home) {
  return {"/Applications", home / "Applications"};
}

MovableApps scanMovableApps(const std::vector<std::filesystem::path>& folders,
                            std::uint64_t minBytes) {
  MovableApps apps;
  for (const auto& folder : folders) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      const auto& entry = *it;
      std::error_code typeError;
      if (entry.path().extension() != ".app" || entry.is_symlink(typeError) ||
          !entry.is_directory(typeError)) {
        continue;
      }
      const auto bytes = diskUsageBytes(entry.path());
      if (!bytes || *bytes < minBytes) continue;
      ++apps.count;
      apps.totalBytes += *bytes;
    }
  }
  return apps;
}

}  // namespace brimvale::care
