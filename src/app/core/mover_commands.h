// `brimvale move`, `moves` and `move-log`: the folder mover driven from the
// command line, under the relocator lock, with the safety checks and the
// question first and a live progress bar.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/mover_session.h"
#include "common/base/disk_usage.h"
#include "mover/local_folder_mover.h"
#include "mover/safety_checks.h"

namespace brimvale::app {

// What `brimvale move` is about to do with a folder.
struct MovePlan {
  enum class Kind {
    kNew,       // a fresh move into a newly claimed folder
    kNoop,      // the folder is itself a link to its copy: only recorded
    kContinue,  // an unfinished move of this folder continues
    kFinish,    // a relocation that failed half-way through its links is finished
  };
  Kind kind = Kind::kNew;
  std::optional<mover::MoveManifest> job;  // kContinue, kFinish
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;          // kNew: what the folder takes on disk
  std::uint64_t apparentBytes = 0;  // kNew: its files' lengths, the size a user knows
  std::optional<std::int64_t> sizeKB;
  std::uint64_t linked = 0;  // kFinish: files that are links to the copy already
  // kNew: the one walk of the folder before the copy, which every check of
  // its contents reads (newest write, size, room on the drive).
  std::optional<TreeSurvey> survey;
};

// Why `brimvale move` leaves a folder where it is. Each reason names the
// fields it fills; `subject` is the folder as shown unless said otherwise.
struct MoveCheckRefusal {
  enum class Reason {
    kNothingThere,       // subject: the absolute path
    kBusy,               // detail: who holds the relocator lock
    kLockUnusable,       // detail: why the lock file failed; subject: its folder
    kLinkOutsidePolicy,  // detail: the path policy's sentence
    kOutOfScope,         // detail: the scope's sentence; suggestAllowRoot
    kDriveUnknown,       // detail: why the configuration names no drive, one sentence
    kDriveMissing,       // subject: the drive's mount path
    kLinkToDrive,        // target: where the link leads
    kLinkElsewhere,      // target: where the link leads, empty when unreadable
    kOverlap,            // target: the unfinished move's folder; moveId
    kUnreadable,
    kAlreadyOnDrive,  // count links into target (the working folder), everyFile, example, moveId
    kRecentWrites,    // detail: the guard's message
    kCaseCollisions,  // collisions
    kNoSpace,         // subject: the folder's quoted name
    // --to: subject is the destination folder as given; target the working folder.
    kDestinationOutside,
    kDestinationIsLink,  // subject: the destination path that is a link
    // subject: the copy's path; target, moveId: the other move's copy and id, or both
    // empty for a copy already in Relocated that may be the service's.
    kDestinationInUse,
    // subject: the folder; target, moveId: where its unfinished move copies to, and its id.
    kUnfinishedDiffers,
  };
  Reason reason = Reason::kNothingThere;
  std::string subject;
  std::string target;
  std::string detail;
  std::string example;
  std::string moveId;
  std::uint64_t count = 0;
  bool everyFile = false;
  bool suggestAllowRoot = false;
  std::vector<mover::CaseCollision> collisions;
};

// What the checks before a move decided and found.
struct MoveChecks {
  std::string src;  // absolute, without trailing slashes
  std::vector<std::filesystem::path> extraRoots;
  std::filesystem::path mount;
  std::filesystem::path working;
  // The folder that receives the copy: {working}/Relocated, or the one --to named.
  std::filesystem::path relocated;
  // --to named the destination: the copy goes to {relocated}/{name} exactly,
  // and the conflict policy decides what happens to what is there.
  bool destinationChosen = false;
  std::optional<MovePlan> plan;                // set unless refused before planning
  std::vector<mover::FolderInUseEntry> users;  // processes with files open in the folder
  // A recent write the user let through by turning the guard off or bypassing it.
  std::optional<mover::RecentWriteReport> unguardedRecentWrite;
  bool recentWriteGuardBypassed = false;  // on, but --bypass-recent-write-guard was given
  // A dry run goes on past the recent-write guard, to say the real move would be held.
  std::optional<mover::RecentWriteReport> heldByRecentWrite;
  std::optional<std::uint64_t> driveFreeBytes;  // kNew, when the drive could be measured
  std::optional<MoveCheckRefusal> refusal;      // set: nothing may be moved
};

// Every check `brimvale move` makes before it asks: the folder exists, the
// relocator lock (taken through `lock`, which the caller keeps for the
// move), the path policy and scope, the drive, the records of other moves,
// and for a new move what the folder holds and the room on the drive.
// Stops at the first refusal. Prints nothing.
[[nodiscard]] MoveChecks checkMove(MoverCommandContext& c, const MoveOptions& options,
                                   mover::RelocatorLock& lock);

// The text of the checks: what they found on `out`, a refusal on `err`.
void renderMoveChecks(const MoveChecks& checks, std::ostream& out, std::ostream& err);

// Under the relocator lock: checks, asks, then relocates `folder` into a
// fresh folder of {working folder}/Relocated (or continues the unfinished
// move of it) and shows progress until the move, and any other unfinished
// move, settles. Ctrl-C cancels; the exit status then is 128 + the signal.
int moveCommand(MoverCommandContext& c, const MoveOptions& options);
// No action: lists the moves (every unfinished one and the newest 200 that
// ended). "cancel"/"revert" ID; "resume" continues unfinished moves, and
// finishes relocations that failed half-way through their links, until they
// settle; "clear" ID forgets the record of a move that ended, touching nothing
// else. `allowedRoots` as for moveCommand.
int movesCommand(MoverCommandContext& c, const std::string& action, const std::string& id,
                 const std::vector<std::string>& allowedRoots = {});
// `moves --json`: the moves the list shows, as a JSON array of their records
// (the keys and values of state/folder-moves/<id>.json), newest first.
int movesJsonCommand(MoverCommandContext& c);
// The mover's log, of one move when `id` is given; kPhases shows each move's
// story only (queued, phase changes, result).
int moveLogCommand(MoverCommandContext& c, const std::string& id, mover::MoverLogDetail detail);

}  // namespace brimvale::app
