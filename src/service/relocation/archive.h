// Archiving one item into a folder of the working folder: the rule runs' way
// to move old or big files off the internal disk, leaving nothing behind.
#pragma once

#include <ctime>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/base/error.h"
#include "common/base/file_io.h"
#include "common/base/mount_anchor.h"
#include "common/state/path_policy.h"
#include "service/core/service_context.h"
#include "service/relocation/checked_folder.h"
#include "service/relocation/guards.h"

namespace brimvale::service {

// Lock files and folder metadata that are never worth archiving: office
// lock files (~$x.docx, .~lock.x#), .DS_Store, "Icon\r", ._x, *.swp, *.swo.
[[nodiscard]] bool isLockOrMetadataName(std::string_view name);

// What a claimed target is created as: the kind of the item moved into it.

// Claims a fresh target for `name` in `folder`: folder/name; when taken,
// folder/{YYYY-mm}/name (local month, the month folder created when used);
// when taken too, folder/{YYYY-mm}/name.{epoch}, then name.{epoch}.2, .3, ...
// The claim creates the target exclusively (an empty folder or an empty
// file), so two runs never share a target and an existing one is never
// chosen. Fails when the folder cannot be written or the name is too long.
[[nodiscard]] Result<std::filesystem::path> claimArchiveTarget(const std::filesystem::path& folder,
                                                               const std::string& name,
                                                               std::time_t now, ClaimKind kind);

struct ArchiveMoveError {
  std::string cause;
  // The copy at the target is complete, but the original could not be
  // removed (or only part of it): both are kept and nothing is lost.
  bool copyKept = false;
  // The drive went away: nothing more may be written for it.
  bool driveGone = false;
};

// Moves `relative` inside `from` into the claimed `target`, replacing the
// placeholder: a rename on the same volume, else a copy (cp -a) into the
// claimed name, compared with the original (what changed meanwhile is
// copied again, at most three times), then the original removed through
// `from` file by file, each only while the guard finds it unchanged and equal
// to its copy. A copy that fails or never settles removes the claimed target
// (this run's own, never anything else) and leaves the original where it
// was. `drive`, when given, is the mount the target must still lie on before
// the original is touched.
[[nodiscard]] std::expected<void, ArchiveMoveError> moveIntoClaim(
    const ProcessRunner& run, const CheckedFolder& from, const std::filesystem::path& relative,
    const std::filesystem::path& target, const MountAnchor* drive = nullptr);

// How archiving one item ended.
enum class ArchiveOutcome {
  kMoved,
  kSkipped,        // gone, open, in cloud storage, lock/metadata, or refused by the policy
  kFailed,         // said with its cause; the item is where it was (or copied, and said so)
  kUndoUnwritten,  // the undo record could not be written: nothing moved, stop the run
  kDriveGone       // the drive is no longer the one the run began on: stop the run
};

// Archives `relative` inside `from` into {BASE}/{destFolder} (checked by the
// caller to lie inside the working folder), skipping open, cloud and
// lock/metadata items and items `policy` refuses. Nothing is written for
// the drive unless `drive` (taken when the run began) still holds the
// working folder. The undo row is written before the item moves; the
// action-log row and the "moved" line only once the item is at its target.
// Every outcome is said.
ArchiveOutcome moveToNvme(ServiceContext& ctx, Guards& guards, const PathPolicy& policy,
                          const CheckedFolder& from, const std::filesystem::path& relative,
                          const std::string& destFolder, std::string_view reason,
                          const std::optional<MountAnchor>& drive);

}  // namespace brimvale::service
