// The facts about a bundle that cost a walk, a tool run or a parse to learn
// (size, last use, signature, Info.plist), and what tells whether a
// remembered set still holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "apps/info_plist.h"
#include "platform/bundle_probe.h"

namespace brimvale::apps {

struct BundleFacts {
  std::int64_t sizeBytes = 0;
  std::optional<std::int64_t> lastUsed;  // seconds since the epoch
  bool appleSigned = false;
  std::optional<InfoPlist> info;  // nullopt: missing, unreadable or no property list

  friend bool operator==(const BundleFacts&, const BundleFacts&) = default;
};

// When the bundle folder and its `Contents/Info.plist` were last modified
// (links followed), in nanoseconds since the epoch: an update that replaces
// the bundle or rewrites its Info.plist changes one of them. Both are kept,
// since an installer may give a rewritten Info.plist an older time than the
// folder's.
struct BundleStamp {
  std::int64_t bundleNanos = 0;
  std::int64_t infoPlistNanos = 0;  // 0 when the Info.plist is missing

  friend bool operator==(const BundleStamp&, const BundleStamp&) = default;
};

// nullopt when the bundle cannot be examined (a link whose drive is away).
[[nodiscard]] std::optional<BundleStamp> bundleStamp(const std::filesystem::path& bundle);

// Measures `bundle` (the bundle a link points to, for a link): its Info.plist,
// its disk usage as `du -sk` × 1024 (0 when it cannot be read) and the
// probe's answers.
[[nodiscard]] BundleFacts measureBundleFacts(const std::filesystem::path& bundle,
                                             platform::BundleProbe& probe);

// The bundle's main program named by `info`, a plain file name; empty when
// it names none or a name that would climb out of Contents/MacOS.
[[nodiscard]] std::string mainProgramName(const std::optional<InfoPlist>& info);

}  // namespace brimvale::apps
