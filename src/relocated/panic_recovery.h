// `brimvale panic-recovery`: everything Brimvale keeps on the drive brought
// back to the internal disk — parked originals back in place of their links,
// relocated folders and moved apps moved back — with the service paused
// meanwhile, a record that lets an interrupted run continue, and a report of
// what is home, checked against the disk before it says so.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/base/error.h"
#include "common/state/paths.h"
#include "mover/manifest.h"
#include "relocated/app_homecoming.h"
#include "relocated/folder_homecoming.h"

namespace brimvale::relocated {

// A parked original going back to `path`. `copy`: where the link at `path`
// leads; empty when `path` is vacant (an earlier run removed the link).
struct ParkedReturn {
  std::filesystem::path parked;
  std::filesystem::path path;
  std::filesystem::path copy;
  std::uint64_t neededBytes = 0;  // what the copy holds beyond the parked folder
  // No original was kept (its deletion was confirmed): an empty folder is
  // parked first, then filled from the copy like any parked original.
  bool parkFirst = false;
};

struct RelocationReturn {
  mover::MoveManifest relocation;
  std::uint64_t bytes = 0;  // the copy's size: all of it comes back
};

// Something that stays where it is, and why, as a sentence.
struct LeftBehind {
  std::filesystem::path path;
  std::string why;
};

struct HomecomingPlan {
  std::vector<ParkedReturn> parked;
  std::vector<RelocationReturn> relocations;
  std::vector<AppAway> apps;
  std::vector<LeftBehind> left;
  [[nodiscard]] bool nothingToBring() const {
    return parked.empty() && relocations.empty() && apps.empty();
  }
  [[nodiscard]] std::uint64_t neededBytes() const;
};

// The finished relocations of `all` whose folder is not home yet: their copy
// is still on the drive, or their links are still set aside.
[[nodiscard]] std::vector<mover::MoveManifest> relocationsAway(
    const std::vector<mover::MoveManifest>& all);

// What a run would do now, read from the disk, the move records and `apps`
// (AppHomecoming::away); changes nothing. A folder link into one of
// `workingFolders` that no parked original, move record or app explains
// comes home as a parked return with parkFirst; any other such link is left,
// with why.
[[nodiscard]] HomecomingPlan planHomecoming(
    const StatePaths& paths, const std::vector<std::filesystem::path>& workingFolders,
    const std::vector<mover::MoveManifest>& all, std::vector<AppAway> apps = {});

// Brings the copy's changes into the parked folder (a parked file that
// differs from the copy's first moves beside it under its kept name), checks
// it now holds every entry of the copy byte for byte, and only then replaces
// the link with it. The copy on the drive is left as it is. Safe to repeat
// after an interruption at any point; errors carry a sentence and change
// nothing at `path`. The kept names, as they are at `path` afterwards.
[[nodiscard]] Result<std::vector<std::filesystem::path>> returnParked(const ParkedReturn& item,
                                                                      const std::string& rsyncPath,
                                                                      const ProcessRunner& run);

// The refusal when `needed` bytes do not fit in `freeBytes`; nothing when they do.
[[nodiscard]] std::optional<std::string> spaceRefusal(std::uint64_t needed,
                                                      std::uint64_t freeBytes);

// The plan as the person reads it before anything changes.
[[nodiscard]] std::string renderPlan(const HomecomingPlan& plan, const std::filesystem::path& home);

struct PanicOptions {
  bool dryRun = false;  // show the plan only
};

struct PanicHost {
  StatePaths paths;
  // The drive's working folders (knownWorkingFolders): when a run ends, no
  // link under the home folder may lead into them.
  std::vector<std::filesystem::path> workingFolders;
  FolderHomecoming& homecoming;
  AppHomecoming& apps;
  std::string rsyncPath;
  // Free bytes on the volume of a path; nothing when it cannot be measured.
  std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeBytes;
  std::ostream& out;
  std::ostream& err;
  // Decides, once the plan is shown and fits, whether it goes ahead; empty:
  // it does (its caller asked before).
  std::function<bool()> goAhead;
  ProcessRunner run = {};  // how rsync runs
};

// 0 when everything is home (or only the plan was shown), 1 when something
// was refused or left behind. "Everything is home" is said only once the disk
// shows it: no link under the home folder leads into the working folder (and
// every folder could be looked in), no relocation is away and no app is.
[[nodiscard]] int panicRecoveryCommand(PanicHost& host, const PanicOptions& options);

}  // namespace brimvale::relocated
