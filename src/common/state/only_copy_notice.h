// After this computer's first finished relocation, both halves say once that
// the drive now holds the only copy of what was moved and suggest a backup.
// Which move comes first is settled on disk, so the notice is never repeated.
#pragma once

#include <string_view>

#include "common/state/paths.h"

namespace brimvale {

inline constexpr std::string_view kOnlyCopyTitle = "Your drive holds the only copy";
inline constexpr std::string_view kOnlyCopyNotice =
    "Your drive now holds the only copy of the folders moved to it, so if the drive fails they "
    "are lost: keep a second copy on a backup drive with `brimvale drive-transfer start backup`.";
// The notification thread, so a repeat could only replace the banner.
inline constexpr std::string_view kOnlyCopyThread = "only-copy";

// True for the one caller that records the notice as given (state/only-copy-told,
// created exclusively, so of two moves finishing at once only one says it).
// False once it was given, and when the record cannot be written: a notice
// that might repeat on every move is worse than one not given.
[[nodiscard]] bool claimOnlyCopyNotice(const StatePaths& paths);

// Queues the notice for the application's notification centre.
void queueOnlyCopyNotice(const StatePaths& paths);

}  // namespace brimvale
