// `brimvale panic-recovery`: everything Brimvale keeps on the drive brought
// back to the internal disk — parked originals back in place of their links,
// relocated folders moved back — with the service paused meanwhile, a record
// that lets an interrupted run continue, and a report of what is home.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/folder_homecoming.h"
#include "common/base/error.h"
#include "common/state/paths.h"
#include "mover/manifest.h"

namespace brimvale::app {

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

// Links at most six levels below `home` (outside Brimvale's own folder, links
// not followed) that lead to a folder inside a working folder: one of the
// folder's parents holds the marker file. Each link with the folder it leads to.
[[nodiscard]] std::vector<std::pair<std::filesystem::path, std::filesystem::path>>
folderLinksIntoWorkingFolders(const std::filesystem::path& home);

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
  std::vector<LeftBehind> left;
  [[nodiscard]] bool nothingToBring() const { return parked.empty() && relocations.empty(); }
  [[nodiscard]] std::uint64_t neededBytes() const;
};

// The finished relocations of `all` whose folder is not home yet: their copy
// is still on the drive, or their links are still set aside.
[[nodiscard]] std::vector<mover::MoveManifest> relocationsAway(
    const std::vector<mover::MoveManifest>& all);

// What a run would do now, read from the disk and the move records; changes
// nothing. A folder link into a working folder that no parked original or
// move record explains comes home as a parked return with parkFirst.
[[nodiscard]] HomecomingPlan planHomecoming(const StatePaths& paths,
                                            const std::vector<mover::MoveManifest>& all);

// Brings the copy's changes into the parked folder, checks it now holds
// every entry of the copy byte for byte, and only then replaces the link
// with it. The copy on the drive is left as it is. Safe to repeat after an
// interruption at any point; errors carry a sentence and change nothing at
// `path`.
[[nodiscard]] Result<void> returnParked(const ParkedReturn& item, const std::string& rsyncPath);

// The refusal when `needed` bytes do not fit in `freeBytes`; nothing when they do.
[[nodiscard]] std::optional<std::string> spaceRefusal(std::uint64_t needed,
                                                      std::uint64_t freeBytes);

// The plan as the person reads it before anything changes.
[[nodiscard]] std::string renderPlan(const HomecomingPlan& plan, const std::filesystem::path& home);

struct PanicOptions {
  bool yes = false;     // no question (for scripts)
  bool dryRun = false;  // show the plan only
};

struct PanicHost {
  StatePaths paths;
  FolderHomecoming& homecoming;
  std::string rsyncPath;
  // Free bytes on the volume of a path; nothing when it cannot be measured.
  std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeBytes;
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool interactive = false;  // `in` is a terminal: the question can be asked
};

// 0 when everything is home (or only the plan was shown), 1 when something
// was refused or left behind.
[[nodiscard]] int panicRecoveryCommand(PanicHost& host, const PanicOptions& options);

}  // namespace brimvale::app
