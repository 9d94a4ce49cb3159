// Stopping a folder move that another process runs: its record names the
// owner, who is asked to stop with SIGTERM (which it handles as Ctrl-C:
// "Cancelled by user.", its partial copy removed) and watched until it ends.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "mover/in_use_quit.h"
#include "mover/manifest.h"
#include "platform/platform.h"

namespace brimvale::mover {

// This process as the records it runs name it; nothing when the system
// cannot say who it is.
[[nodiscard]] std::optional<MoveOwner> thisProcessOwner(platform::ProcessLauncher& launcher);

// True while the recorded owner runs: the same pid with the same start, as
// this user, and never pid 1 or this process (a hand-edited record cannot
// make Brimvale signal a stranger).
[[nodiscard]] bool ownerRuns(const MoveOwner& owner, platform::ProcessLauncher& launcher,
                             const QuitGuards& guards);

struct OwnerCancel {
  enum class Result {
    kNoLiveOwner,   // nobody runs the move: it may be cancelled here
    kFinishing,     // it is replacing files with links: not asked; it goes on to the end
    kSettled,       // the owner stopped; `job` is the record it left
    kStillRunning,  // the owner was asked but has not ended within the wait
    kNotDelivered,  // the owner could not be asked
  };
  Result result = Result::kNoLiveOwner;
  int ownerPid = 0;
  std::optional<MoveManifest> job;  // the record as last read
  // Other unfinished moves the same owner ran: asking it to stop stops them too.
  std::vector<MoveManifest> alsoRunning;
};

struct OwnerCancelSteps {
  std::function<std::vector<MoveManifest>()> records;  // the records as on disk now
  std::function<void(std::chrono::milliseconds)> sleep;
  std::chrono::milliseconds wait{std::chrono::seconds(30)};
  std::chrono::milliseconds poll{100};
};

// Asks the owner of the unfinished move `job` to stop and waits until the
// owner has ended (at most `steps.wait`), then reads the record again. An
// owner that ended without settling the record (killed outright) gives
// kNoLiveOwner, so the caller cancels it as for any move nobody runs.
[[nodiscard]] OwnerCancel cancelInOwner(const MoveManifest& job,
                                        platform::ProcessLauncher& launcher,
                                        const QuitGuards& guards, const OwnerCancelSteps& steps);

}  // namespace brimvale::mover
