// The facts about a bundle that cost a walk or a tool run to learn (size,
// last use, signature), and what tells whether a remembered set still holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/bundle_probe.h"

namespace brimvale::apps {

struct BundleFacts {
  std::int64_t sizeBytes = 0;
  std::optional<std::int64_t> lastUsed;  // seconds since the epoch
  bool appleSigned = false;

  friend bool operator==(const BundleFacts&, const BundleFacts&) = default;
};

// Nanoseconds since the epoch of the later modification of the bundle folder
// and its `Contents/Info.plist` (links followed): an update that replaces the
// bundle or rewrites its Info.plist changes it. nullopt when the bundle
// cannot be examined (a link whose drive is away).
[[nodiscard]] std::optional<std::int64_t> bundleModifiedNanos(const std::filesystem::path& bundle);

// Measures `bundle` (the bundle a link points to, for a link): its disk usage
// as `du -sk` × 1024 (0 when it cannot be read) and the probe's answers.
// `executable` is the bundle's main program, empty when unnamed.
[[nodiscard]] BundleFacts measureBundleFacts(const std::filesystem::path& bundle,
                                             const std::string& executable,
                                             platform::BundleProbe& probe);

}  // namespace brimvale::apps
