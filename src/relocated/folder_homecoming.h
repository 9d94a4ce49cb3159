// Bringing one relocated folder back from the drive to its own path, behind
// one small interface so the way it is done can be swapped in one place.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/base/error.h"
#include "common/base/process.h"
#include "common/state/paths.h"
#include "mover/manifest.h"

namespace brimvale::relocated {

class FolderHomecoming {
 public:
  virtual ~FolderHomecoming() = default;
  // Ends the folder moves an earlier run left unfinished: a move towards the
  // drive that has not started replacing files is cancelled (its original
  // stays), everything else runs to its end. Errors carry a sentence.
  [[nodiscard]] virtual Result<void> settleUnfinished() = 0;
  // Brings the folder of a finished relocation back to its path and removes
  // the links left there; safe to call again after an interruption at any
  // point. A file written at the path in place of its link stays there; when
  // the drive held another version of it, that one is put beside it under its
  // kept name (keptAsideName): those paths are returned. On failure every
  // file is still reachable, at its path, beside it or on the drive, and the
  // error's detail says what is left where.
  [[nodiscard]] virtual Result<std::vector<std::filesystem::path>> bringHome(
      const mover::MoveManifest& relocation) = 0;
};

// The finished move that brought `relocation` back to its path, if any: one that began no earlier
// than the relocation (an older one brought home an earlier relocation of the same folder).
[[nodiscard]] const mover::MoveManifest* finishedReturnOf(
    const std::vector<mover::MoveManifest>& all, const mover::MoveManifest& relocation);

// Where a relocated folder's links wait while its copy comes back.
[[nodiscard]] std::filesystem::path setAsidePathOf(const std::string& src);

// Where the copy of a relocated folder is put together beside its path.
[[nodiscard]] std::filesystem::path stagingPathOf(const std::string& src);

// Removes the copy on the drive once the folder at `home` holds it: each
// entry the guard finds the same at home (or in a kept twin beside its
// namesake) goes, checked right before it goes; a file that differs first
// comes home beside its namesake under its kept name (those paths are
// returned), then goes. Never writes through a link at `home`. Fails, naming
// what stays on the drive, when something could not be kept.
[[nodiscard]] Result<std::vector<std::filesystem::path>> removeCopyHome(
    const std::filesystem::path& copy, const std::filesystem::path& home);

// Settles what was set aside at `aside` against the folder now home at
// `home`, whose copy was `copy`: links into the copy go, entries the same at
// home (checked by the guard right before each removal) go, and every other
// file takes its place at home, the version found there moving beside it
// under its kept name (returned). `aside` is gone once nothing is left in it.
// Works through open folders, so nothing lands where a link planted at
// `home` meanwhile points.
[[nodiscard]] Result<std::vector<std::filesystem::path>> settleSetAside(
    const std::filesystem::path& aside, const std::filesystem::path& home,
    const std::filesystem::path& copy);

// How the folder moves an earlier run left unfinished are ended: the
// caller runs them as `brimvale moves cancel ID` and `brimvale moves resume` do.
struct UnfinishedMoves {
  std::function<bool(const std::string& id)> cancel;  // true once the move is cancelled
  std::function<bool()> resume;                       // true when every resumed move ended well
};

// The copy is put together beside the path (stagingPathOf) with GNU rsync and
// compared entry by entry, again while it keeps changing (three rounds at
// most); only then does it trade places with what stood at the path, in one
// step, and that is set aside (setAsidePathOf). A finished move back is
// recorded, what was set aside settled with settleSetAside, and the copy on
// the drive removed with removeCopyHome. The caller holds the relocator lock.
class StagedHomecoming : public FolderHomecoming {
 public:
  StagedHomecoming(StatePaths paths, std::string rsyncPath, ProcessRunner run,
                   UnfinishedMoves unfinished)
      : paths_(std::move(paths)),
        rsyncPath_(std::move(rsyncPath)),
        run_(std::move(run)),
        unfinished_(std::move(unfinished)) {}
  [[nodiscard]] Result<void> settleUnfinished() override;
  [[nodiscard]] Result<std::vector<std::filesystem::path>> bringHome(
      const mover::MoveManifest& relocation) override;

 private:
  [[nodiscard]] Result<void> stage(const mover::MoveManifest& relocation);
  [[nodiscard]] Result<void> swapIn(const mover::MoveManifest& relocation);
  [[nodiscard]] Result<void> recordReturn(const mover::MoveManifest& relocation);

  StatePaths paths_;
  std::string rsyncPath_;
  ProcessRunner run_;
  UnfinishedMoves unfinished_;
};

}  // namespace brimvale::relocated
