// The clean-up of a move that brings a copy home from the drive: the copy on
// the drive goes only through the guard, and where two versions of a file
// differ both are kept, one at the home path and the other beside it as
// "<name>.kept-<UTC stamp>".
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/guarded_removal.h"
#include "common/base/replace_guard.h"

namespace brimvale::mover {

// Which version keeps the home path when the two differ.
enum class HomePath {
  kHomeVersion,   // the one that was at home (a move back that keeps newer files)
  kDriveVersion,  // the one from the drive (the user chose to overwrite)
};

// The folder, inside the home copy, where the copy tool puts what it
// replaces (its --backup-dir, relative to the destination): one per move.
[[nodiscard]] std::string displacedFolderName(const std::string& jobId);

// The folder, inside the home copy, where what comes home is put together
// before it takes its path in one rename (the copy tool's temporary files,
// the files that replace the relocation's links): one per move. A program
// writing in the folder never sees a half-made file or a path left empty.
[[nodiscard]] std::string incomingFolderName(const std::string& jobId);

// Before the copy from `driveCopy` comes home into `home`: makes `home` and
// its folder `incoming` when missing, and replaces each link below `home`
// into `driveCopy` with a copy of the file it leads to, in one rename, so
// the copy tool has no link to take away first. A link that cannot be
// replaced stays for the copy tool. How many were replaced, or nothing when
// `incoming` could not be made.
[[nodiscard]] std::optional<std::size_t> prepareHomecoming(const std::filesystem::path& driveCopy,
                                                           const std::filesystem::path& home,
                                                           const std::string& incoming);

struct HomecomingCleanup {
  // The versions kept beside a file of the same name, relative to the home
  // copy ("notes.txt.kept-20261208T093000Z"), sorted.
  std::vector<std::string> keptBeside;
  // What is left of the copy on the drive; complete() when it is gone.
  GuardedRemoval removal;
};

// After the copy from `driveCopy` into `home`: removes `home`/`incoming`
// once empty, settles what the copy tool displaced into `home`/`displaced`
// (links into `driveCopy` were the relocation's own and go; any other entry
// is a version of the user's and is kept, at the home path or beside it as
// `which` says), removes the drive copy through `guard`, and keeps each
// drive file that differs from its home counterpart beside it before
// removing it. Anything that could not be kept stays on the drive and is
// listed in `removal`.
[[nodiscard]] HomecomingCleanup cleanUpAfterHomecoming(const std::filesystem::path& driveCopy,
                                                       const std::filesystem::path& home,
                                                       const std::string& displaced,
                                                       const std::string& incoming, HomePath which,
                                                       const ReplaceGuard& guard,
                                                       FileOperations& files);

}  // namespace brimvale::mover
