// What the app mover works with, all injectable: the state folders, the
// operating-system tools, the file calls, the record store, the clock and the
// log; and the guarded actions the forward move, the move back and recovery
// share (parking and restoring an original, deleting on the drive).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "apps/app_move_store.h"
#include "apps/bundle_guard.h"
#include "apps/orphan_breadcrumb.h"
#include "common/base/file_operations.h"
#include "common/base/timestamps.h"
#include "common/state/paths.h"
#include "mover/safety_checks.h"
#include "platform/app_relocation_tools.h"
#include "transfers/transfer_events.h"

namespace brimvale::apps {

// Swaps what is at `a` and at `b` in one step, so neither path is ever
// empty: renameat2(RENAME_EXCHANGE), renamex_np(RENAME_SWAP) on macOS.
// ENOTSUP where the file system cannot.
[[nodiscard]] std::error_code exchangePaths(const std::filesystem::path& a,
                                            const std::filesystem::path& b);

struct AppMoveEnvironment {
  StatePaths paths;
  // This computer's name, which names its working folder on the drive.
  std::string computerName;
  platform::AppRelocationTools* tools = nullptr;
  FileOperations* files = nullptr;
  const AppManifestStore* store = nullptr;
  WallClock clock;
  std::function<void(const std::string&)> log;
  // The folders apps are installed in; a record naming anything else is not
  // acted on at launch. Real use: /Applications, ~/Applications,
  // /Applications/Setapp, /Applications/Utilities.
  std::vector<std::filesystem::path> applicationRoots;
  // Whether the user may move `bundle` out of its folder without an administrator.
  std::function<bool(const std::filesystem::path& bundle)> userCanWrite;
  // The letter-case behaviour of the volume holding a folder.
  std::function<mover::VolumeCaseSensitivity(const std::filesystem::path& folder)>
      caseSensitivityOf;
  // Daily totals of moved bytes; may be null.
  transfers::TransferEventStore* transferEvents = nullptr;
  // Swaps the entries at two paths in one step (see exchangePaths).
  std::function<std::error_code(const std::filesystem::path&, const std::filesystem::path&)>
      exchange = exchangePaths;

  // The real system for a user: tools, file calls and probes of this computer.
  [[nodiscard]] static AppMoveEnvironment forHome(const std::filesystem::path& home,
                                                  std::string computerName,
                                                  platform::AppRelocationTools& tools,
                                                  const AppManifestStore& store,
                                                  std::function<void(const std::string&)> log);
};

// The canonical application folders of a user.
[[nodiscard]] std::vector<std::filesystem::path> canonicalApplicationRoots(
    const std::filesystem::path& home);

// "case_sensitive_apfs", "case_insensitive_apfs" or "unknown".
[[nodiscard]] std::string caseSensitivityRaw(mover::VolumeCaseSensitivity value);

enum class ParkOutcome { kMoved, kCancelled, kFailed };
struct ParkResult {
  ParkOutcome outcome = ParkOutcome::kFailed;
  std::string error;  // kFailed: why
};
// Moves a bundle from `from` to `to` (which must be free) by rename; when
// that fails and the user cannot write the bundle's folder, asks the
// administrator to `/bin/mv -f` it. Never copies and deletes.
[[nodiscard]] ParkResult moveBundle(const AppMoveEnvironment& env,
                                    const std::filesystem::path& from,
                                    const std::filesystem::path& to);

// Deletes a parked original (only inside a quarantine root) now that `copy`
// stands for it: entry by entry through `guard`, and with the administrator's
// `/bin/rm -rf` what the user cannot delete once every entry compared equal.
// What differs stays whole, renamed to `<original's name>.kept-<UTC stamp>`
// beside `original`; that path is returned (also when it could only stay
// where it was, under its quarantine name). `comparedJustNow`: the caller
// has just compared the two, so only what the removal leaves is kept.
std::optional<std::filesystem::path> purgeQuarantine(const AppMoveEnvironment& env,
                                                     const std::filesystem::path& quarantine,
                                                     const std::filesystem::path& copy,
                                                     const std::filesystem::path& original,
                                                     const ReplaceGuard& guard,
                                                     bool comparedJustNow = false);

// Writes a breadcrumb and logs where; a failure to write is logged too.
void leaveOrphanBreadcrumb(const AppMoveEnvironment& env, OrphanBreadcrumb crumb);

// Whether `link` is a symbolic link whose target is `target`.
[[nodiscard]] bool isLinkTo(const std::filesystem::path& link, const std::string& target);
// Whether `path` is a real folder (not a link to one).
[[nodiscard]] bool isRealFolder(const std::filesystem::path& path);
// Whether anything, a dangling link included, is at `path`.
[[nodiscard]] bool somethingAt(const std::filesystem::path& path);

}  // namespace brimvale::apps
