#include "apps/bundle_metrics.h"

#include <cstdlib>
#include <system_error>

namespace brimvale::apps {

namespace fs = std::filesystem;

std::optional<BundleMetrics> bundleMetrics(const fs::path& bundle) {
  std::error_code ec;
  fs::recursive_directory_iterator it(bundle, fs::directory_options::skip_permission_denied, ec);
  if (ec) return std::nullopt;
  BundleMetrics metrics;
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) {
      ec.clear();
      continue;
    }
    std::error_code statError;
    const auto status = it->symlink_status(statError);
    if (statError || !fs::is_regular_file(status)) continue;
    const auto size = it->file_size(statError);
    if (statError) continue;
    ++metrics.fileCount;
    metrics.totalBytes += static_cast<std::int64_t>(size);
  }
  return metrics;
}

bool sizeWithinTolerance(std::int64_t srcBytes, std::int64_t dstBytes) {
  const std::int64_t difference = std::llabs(srcBytes - dstBytes);
  if (srcBytes < 4'096'000) return difference <= 4096;
  return difference <= srcBytes / 1000;
}

}  // namespace brimvale::apps
