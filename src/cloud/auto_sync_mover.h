// Auto-sync's use of the folder mover: new files go to the drive as
// `autoSync` moves, and finished moves come back as totals and failures.
#pragma once

#include <set>
#include <string>

#include "cloud/auto_sync_manager.h"
#include "mover/local_folder_mover.h"
#include "mover/manifest.h"

namespace brimvale::cloud {

// Hands each file to `mover` as an autoSync relocation, so a link stays at
// the file's old place; a file whose earlier move is still under way joins it. A move the mover
// does not take (a drive transfer holds moves) is dropped; one it records as failed straight away
// (no copy tool, a refused path) is a failure with its reason.
[[nodiscard]] QueueCopy queueThroughMover(mover::LocalFolderMover& mover);

// Feeds the ends of autoSync moves back to the manager, once per move
// (the mover publishes a finished job again when it re-reads its records).
class AutoSyncMoveWatcher {
 public:
  explicit AutoSyncMoveWatcher(AutoSyncManager& manager) : manager_(manager) {}
  // For MoverEnvironment::onChange.
  void moveChanged(const mover::MoveManifest& move);

 private:
  AutoSyncManager& manager_;
  std::set<std::string> reported_;
};

}  // namespace brimvale::cloud
