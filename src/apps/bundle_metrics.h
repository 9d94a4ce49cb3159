// How many regular files a bundle holds and how many bytes they take: what the
// copy of an app is checked against before the original is moved aside.
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

// File systems report sizes differently, so a copy may differ by a little:
// up to 4096 bytes below 4,096,000 bytes, up to a thousandth above.
[[nodiscard]] bool sizeWithinTolerance(std::int64_t srcBytes, std::int64_t dstBytes);

}  // namespace brimvale::apps
