#include "apps/bundle_metrics.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "common/base/walk_below.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

std::optional<BundleMetrics> bundleMetrics(const fs::path& bundle) {
  std::error_code ec;
  if (!fs::is_directory(bundle, ec)) return std::nullopt;
  BundleMetrics metrics;
  const WalkReport walk = walkBelow(bundle, {}, [&](const WalkEntry& e) {
    struct stat st {};
    if (e.type == DT_REG &&
        ::fstatat(e.folderFd, std::string(e.name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      ++metrics.fileCount;
      metrics.totalBytes += static_cast<std::int64_t>(st.st_size);
    }
    return WalkStep::kContinue;
  });
  if (std::find(walk.unreadable.begin(), walk.unreadable.end(), bundle) != walk.unreadable.end())
    return std::nullopt;
  return metrics;
}

}  // namespace brimvale::apps
