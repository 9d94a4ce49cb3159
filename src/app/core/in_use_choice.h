// What `brimvale move` does about programs that use files in the folder:
// quit them (asked on a terminal, or --quit-apps) or continue (--continue);
// without a terminal and without either option the move goes on as before.
#pragma once

#include <string>
#include <vector>

#include "app/core/mover_session.h"
#include "mover/in_use_quit.h"

namespace brimvale::app {

enum class InUseAction {
  kGoOn,  // nothing to do, or the user chose to continue
  kQuit,  // ask the programs to quit, then go on
  kAsk,   // ask the user on the terminal
};
[[nodiscard]] InUseAction inUseAction(const MoveOptions& options, bool interactive, bool anyUsers);

// Carries out the choice for `users` of `src`; false when the user chose to
// stop (the caller then changes nothing).
[[nodiscard]] bool settleFolderUsers(MoverCommandContext& c, const MoveOptions& options,
                                     const std::string& src,
                                     const std::vector<mover::FolderInUseEntry>& users);

}  // namespace brimvale::app
