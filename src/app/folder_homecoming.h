// Bringing one relocated folder back from the drive to its own path, behind
// one small interface so the way it is done can be swapped in one place.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/mover_commands.h"
#include "common/base/error.h"
#include "mover/manifest.h"

namespace brimvale::app {

class FolderHomecoming {
 public:
  virtual ~FolderHomecoming() = default;
  // Ends the folder moves an earlier run left unfinished: a move towards the
  // drive that has not started replacing files is cancelled (its original
  // stays), everything else runs to its end. Errors carry a sentence.
  [[nodiscard]] virtual Result<void> settleUnfinished() = 0;
  // Brings the folder of a finished relocation back to its path and removes
  // the links left there; safe to call again after an interruption at any
  // point. On failure every file is still reachable, at its path or on the
  // drive, and the error's detail says what is left where.
  [[nodiscard]] virtual Result<void> bringHome(const mover::MoveManifest& relocation) = 0;
};

// The finished move that brought `relocation` back to its path, if any.
[[nodiscard]] const mover::MoveManifest* finishedReturnOf(
    const std::vector<mover::MoveManifest>& all, const mover::MoveManifest& relocation);

// Where a relocated folder's links wait while its copy comes back.
[[nodiscard]] std::filesystem::path setAsidePathOf(const std::string& src);

// Regular files below `aside` whose bytes differ from (or are missing at) the
// same path below `home`, as relative paths; links and folders never count.
// An error when either tree cannot be read.
[[nodiscard]] Result<std::vector<std::string>> filesNotHome(const std::filesystem::path& aside,
                                                            const std::filesystem::path& home);

// Through the folder mover's reverse move (`moves revert`), run to its end in
// this process. The relocation's links are set aside first (files written
// there as real files since the move go to the copy before), and removed
// once every file is home.
class RevertHomecoming : public FolderHomecoming {
 public:
  // `rsyncPath`: GNU rsync, used for files written in place of links.
  RevertHomecoming(MoverCommandContext& context, std::string rsyncPath)
      : context_(context), rsyncPath_(std::move(rsyncPath)) {}
  [[nodiscard]] Result<void> settleUnfinished() override;
  [[nodiscard]] Result<void> bringHome(const mover::MoveManifest& relocation) override;

 private:
  [[nodiscard]] Result<void> setLinksAside(const mover::MoveManifest& relocation);
  [[nodiscard]] Result<void> removeSetAside(const mover::MoveManifest& relocation);

  MoverCommandContext& context_;
  std::string rsyncPath_;
};

}  // namespace brimvale::app
