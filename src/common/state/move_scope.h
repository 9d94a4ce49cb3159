// What a folder move may take as its source, shared by every mover (the
// application's folder mover, the service's move-dir, the relocation rules):
// a folder inside the home folder (or a root the user named on purpose), never
// the home folder itself, a mount point, the drive, a system folder or a
// protected folder. A source on the drive is taken only when it reverses a
// recorded relocation.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/state/path_policy.h"

namespace brimvale {

enum class MoveDirection { kToDrive, kBackFromDrive };

enum class MoveRefusalReason {
  kPath,         // the path policy's refusal (PathRefusal)
  kMountPoint,   // a disk is mounted there
  kOnDrive,      // already on the drive (moving it to the drive would copy it onto itself)
  kHoldsDrive,   // the drive is mounted inside it
  kNotRecorded,  // on the drive, but no recorded relocation is reversed by moving it back
};

struct MoveRefusal {
  MoveRefusalReason reason = MoveRefusalReason::kPath;
  std::string path;
  PathRefusal pathRefusal;  // kPath
  // One complete sentence naming the reason and saying nothing was moved.
  [[nodiscard]] std::string sentence() const;
};

struct MoveScopeSettings {
  std::filesystem::path home;
  std::filesystem::path driveMount;     // the configured mount path of the drive
  std::filesystem::path workingFolder;  // {driveMount}/BRIM-{name}
  // Roots outside the home folder the user named with an explicit option.
  std::vector<std::filesystem::path> extraRoots;
  // Whether a disk is mounted exactly at a path; by default a change of
  // device between the folder and its parent.
  std::function<bool(const std::filesystem::path&)> isMountPoint;
};

class MoveScope {
 public:
  explicit MoveScope(MoveScopeSettings settings);

  // The normalised source (no trailing slash), or why it must not move in
  // `direction`. `reversesRecordedRelocation` is asked only for a source on
  // the drive moving back. A source that does not exist is not refused here
  // (callers say "nothing there" in their own words).
  [[nodiscard]] std::expected<std::filesystem::path, MoveRefusal> check(
      const std::string& path, MoveDirection direction,
      const std::function<bool(const std::filesystem::path&)>& reversesRecordedRelocation = {})
      const;

  // A device change between `path` and its parent, or "/".
  [[nodiscard]] static bool deviceChangesAt(const std::filesystem::path& path);

 private:
  MoveScopeSettings settings_;
  PathPolicy toDrive_;  // home and the named extra roots only
  PathPolicy onDrive_;  // the working folder only
};

}  // namespace brimvale
