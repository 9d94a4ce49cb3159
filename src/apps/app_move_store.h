// The folder of app move records (state/app-moves): atomic whole-file writes,
// tolerant listing, and the lookups the app mover and its monitors need.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "apps/app_move_manifest.h"
#include "common/base/timestamps.h"
#include "common/state/paths.h"

namespace brimvale::apps {

// Where write failures and skipped files are reported; one line each.
using AppMoveLog = std::function<void(const std::string&)>;

class AppManifestStore {
 public:
  // `folder` is StatePaths::appMovesFolder; created on first write.
  AppManifestStore(std::filesystem::path folder, AppMoveLog log, WallClock clock);

  // Stamps updatedAt on `manifest` and writes its file whole. Failures are
  // logged and returned as false: a caller about to do something
  // irreversible must not go on without its record.
  bool save(AppMoveManifest& manifest) const;
  // Every record that can be read, in file-name order. A file that cannot be
  // read or decoded is logged and left as it is; a version-1 record is
  // upgraded and written back.
  [[nodiscard]] std::vector<AppMoveManifest> loadAll() const;
  void remove(const std::string& id) const;
  [[nodiscard]] std::filesystem::path fileFor(const std::string& id) const;
  [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  AppMoveLog log_;
  WallClock clock_;
};

// Lookups over loadAll()'s records. Lists come newest (startedAt) first.
[[nodiscard]] std::optional<AppMoveManifest> moveWithId(const std::vector<AppMoveManifest>& all,
                                                        std::string_view id);
// Paths compare after normalising, so "/Applications/X.app/" finds "/Applications/X.app".
[[nodiscard]] std::vector<AppMoveManifest> movesOfOriginalPath(
    const std::vector<AppMoveManifest>& all, const std::filesystem::path& originalPath);
// Moves a crash or a quit may have cut short (see isUnfinished).
[[nodiscard]] std::vector<AppMoveManifest> unfinishedMoves(std::vector<AppMoveManifest> all);
// Committed relocations: the apps that live on the drive now.
[[nodiscard]] std::vector<AppMoveManifest> finishedRelocations(std::vector<AppMoveManifest> all);

// The form of a bundle path that lookups compare: lexically normal, no trailing "/".
[[nodiscard]] std::string comparablePath(const std::filesystem::path& path);

}  // namespace brimvale::apps
