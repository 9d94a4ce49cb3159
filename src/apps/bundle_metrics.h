// How many regular files a bundle holds and how many bytes they take: what the
// clean-up of parked originals reports it gave back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace brimvale::apps {

struct BundleMetrics {
  std::int64_t fileCount = 0;
  std::int64_t totalBytes = 0;
  bool operator==(const BundleMetrics&) const = default;
};

// Regular files only (links are not followed); items whose attributes cannot
// be read are skipped. Nothing when `bundle` itself cannot be listed.
[[nodiscard]] std::optional<BundleMetrics> bundleMetrics(const std::filesystem::path& bundle);

}  // namespace brimvale::apps
