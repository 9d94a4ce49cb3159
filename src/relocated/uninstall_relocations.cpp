#include "relocated/uninstall_relocations.h"

#include "common/base/file_calls.h"
#include "common/state/configured_drive.h"
#include "mover/relocated_items_store.h"
#include "relocated/app_homecoming.h"

namespace brimvale::relocated {
namespace {

namespace fs = std::filesystem;

// The whole home folder is looked through: the budget only keeps a stuck
// file system from hanging the uninstall.
constexpr std::chrono::minutes kWalkBudget{10};

std::string commandFor(const mover::RelocatedItem& item, bool driveThere) {
  // A discovered item's id is made afresh at each look, so only the panic
  // button, which finds it the same way, can name it.
  if (item.discovered) return "brimvale panic-recovery";
  const std::string id = item.manifest.id.substr(0, 8);
  const bool gone = item.integrity == mover::Integrity::kMissingOnDrive ||
                    item.integrity == mover::Integrity::kEmptyOnDrive;
  return driveThere && gone ? "brimvale relocated delete " + id
                            : "brimvale relocated move-back " + id;
}

}  // namespace

RelocationCheck readStillRelocated(const StatePaths& paths, const std::string& computerName,
                                   std::function<bool(const fs::path&)> isMounted) {
  RelocationCheck check;
  // The store creates its folder; where there is none there is nothing to read.
  if (!isDirectory(paths.state).value_or(false)) return check;
  mover::RelocatedItemsStore store({paths, computerName, isMounted, kWalkBudget});
  store.refresh();
  const auto& d = *store.lastScanDiagnostic();
  for (const auto& item : store.items()) {
    check.items.push_back({item.manifest.src, item.manifest.src, item.manifest.finalDst,
                           commandFor(item, d.folderExists)});
  }
  for (const auto& app : appsAway(paths)) {
    check.items.push_back(
        {"the app \u201c" + app.name + "\u201d", app.originalPath, app.nvmePath,
         app.unfinished ? "brimvale panic-recovery" : "brimvale apps move-back " + app.id});
  }
  // Without the drive's path, links into it cannot be told from others; a
  // configuration that names no drive yet has none to lead into.
  if (const auto drive = configuredDrive(paths);
      !drive && drive.error().code != Errc::kUnavailable) {
    check.incomplete = driveUnknownMessage(drive.error(), paths);
  } else if (d.unreadable > 0) {
    check.incomplete = std::to_string(d.unreadable) +
                       " folder(s) of your home folder could not be looked in, so Brimvale "
                       "cannot tell whether links into the drive are left there.";
  } else if (d.timedOut) {
    check.incomplete =
        "Looking through your home folder for links into the drive took too long to finish.";
  }
  return check;
}

}  // namespace brimvale::relocated
