// Keeps `brimvale status` from showing a stale picture: a snapshot older than
// one watch tick, or one that no longer matches the drive, is refreshed by asking the service for a
// new one, as the watch tick itself does, and the command says that it did.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace brimvale::app {

// When the file at `snapshot` was last written; nothing when it is missing.
[[nodiscard]] std::optional<std::time_t> writtenAt(const std::filesystem::path& snapshot);

// Asks the service to write a fresh snapshot; true when it did.
using SnapshotRequest = std::function<bool()>;

// With the snapshot written at `written` (nothing: never) and one tick of
// `tickSecs`: when it is more than one tick old at `now`, or `driveChanged`
// (the drive was connected, unplugged or set up since), calls `request` and
// returns a sentence saying what happened; nothing when it was fresh enough.
[[nodiscard]] std::optional<std::string> refreshWhenStale(std::optional<std::time_t> written,
                                                          std::time_t now, std::int64_t tickSecs,
                                                          bool driveChanged,
                                                          const SnapshotRequest& request);

}  // namespace brimvale::app
