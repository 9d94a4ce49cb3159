// `brimvale moves cancel ID` for a move that another Brimvale process runs:
// that process is asked to stop and watched until it has, so the user hears
// how the move really ended.
#pragma once

#include <optional>
#include <string>

#include "app/core/mover_session.h"
#include "mover/move_cancel.h"

namespace brimvale::app {

// The exit status once the process running the move was dealt with (2 when
// no id is given), or nothing when no other process runs it (or no single
// unfinished move matches `idPrefix`): then it is cancelled here as usual.
[[nodiscard]] std::optional<int> cancelInOwnerCommand(MoverCommandContext& c,
                                                      const std::string& idPrefix);

// The text and exit status of an owner's cancel; nothing for kNoLiveOwner.
// `before` is the record as it was when the owner was asked.
[[nodiscard]] std::optional<int> reportOwnerCancel(MoverCommandContext& c,
                                                   const mover::MoveManifest& before,
                                                   const mover::OwnerCancel& outcome);

}  // namespace brimvale::app
