// `brimvale apps move|move-back|moved|offload|restore|reinstalls`: the app
// mover, its reinstall monitor and the offloader run to their end on the
// command line, with progress on the copies and one sentence for each outcome.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/apps_command.h"
#include "app/core/confirm_hook.h"
#include "apps/app_move_environment.h"
#include "apps/app_offloader.h"

namespace brimvale::app {

struct AppMoveCommandHost {
  // Finds and classifies the app; its out and err take every line printed.
  AppsCommandHost& apps;
  // The records, tools and state folders the mover works with.
  apps::AppMoveEnvironment env;
  // The drive's working folder; empty while no drive is known. Moved apps go
  // to its "Apps" folder.
  std::filesystem::path workingFolder;
  // The offloader's parts except `workingFolder` and `lockFile`, which these
  // commands fill in from the fields above.
  apps::AppOffloaderSetup offload;
  // Decides on a move, move back, offload or restore; empty: go ahead.
  ConfirmHook confirm = {};
};

// Moves the app NAME (as `brimvale apps` lists it) or at PATH to the drive,
// leaving a link. Repairs moves a crash cut short first. Tier 4 is refused
// with its reason; tier 3 needs `overrideRisk` and its risk is printed first.
// A link in the app's place is never moved again: Brimvale's own finished
// move is reported with the already-a-link sentence (0), any other link is
// refused with it (1). 1 with a sentence saying where the app is when the
// move fails or is refused; 2 when the name is ambiguous.
int appsMoveCommand(AppMoveCommandHost& host, const std::string& target, bool overrideRisk);

// Brings the relocation `idOrName` (a record id, the app's name or its path)
// back to the internal disk. An app already back is reported as done (0).
int appsMoveBackCommand(AppMoveCommandHost& host, const std::string& idOrName);

// The apps living on the drive now, with how each link stands; or JSON.
int appsMovedCommand(AppMoveCommandHost& host, bool json);

// Archives the app and its data on the drive and removes them here; prints
// the record id that `apps restore` takes.
int appsOffloadCommand(AppMoveCommandHost& host, const std::string& target);

// Copies an offloaded app back; with an empty `id`, lists the offloaded apps.
int appsRestoreCommand(AppMoveCommandHost& host, const std::string& id);

// What the reinstall monitor saw and did, per moved app; with `sweepNow`
// it first looks at every moved app and moves reinstalled ones again, also
// those waiting out the back-off of a failed try (1 when one of those moves
// failed; its sentence says where the app is).
int appsReinstallsCommand(AppMoveCommandHost& host, bool sweepNow, bool json);

enum class ReviewAnswer { kNone, kApprove, kKeepInternal };

// The permission reviews of reinstalled apps that wait for the user; with
// `idOrName` (a move id or the app's name) only that one. An answer settles
// the review: approved, the new install is moved to the drive now; kept, it
// stays on the internal disk and is not moved again. 1 when no such review
// waits or the approved move fails.
int appsReviewCommand(AppMoveCommandHost& host, const std::string& idOrName, ReviewAnswer answer,
                      bool json);

// The actions of `brimvale apps` above: "move", "move-back", "moved",
// "offload", "restore", "reinstalls" and "review".
[[nodiscard]] bool isAppMoveAction(std::string_view action);

// Runs the action `o.action` for the user of `paths` with this computer's
// tools, its drive as the status file names it and the application log.
int runAppMoveAction(AppsCommandHost& apps, const AppsOptions& o, const StatePaths& paths,
                     const std::string& computerName, ConfirmHook confirm);

// How the link of a live relocation stands: "working", "drive away",
// "reinstalled", "link missing" or "link changed".
[[nodiscard]] std::string linkState(const std::string& originalPath, const std::string& nvmePath);

}  // namespace brimvale::app
