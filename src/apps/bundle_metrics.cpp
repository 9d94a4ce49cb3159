#include "apps/bundle_metrics.h"

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

}  // namespace brimvale::apps
