// `brimvale relocated`: the folders relocated to the drive and how each
// stands, bringing one home (move back), clearing away a broken one, and the
// discovery walk of the drive's working folder.
#pragma once
#include <expected>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/core/mover_session.h"
#include "cloud/auto_sync_policy.h"
#include "common/base/folder_in_use.h"
#include "mover/relocated_items_store.h"

namespace brimvale::app {

struct RelocatedOptions {
  std::string action;  // empty (the list), "move-back", "delete" or "scan"
  std::string id;      // the item's id; a unique prefix is enough
  bool json = false;   // the list as JSON
  // Move back: the drive copy wins every conflict instead of a newer file on
  // the internal disk; files only on the internal disk stay either way.
  bool overwrite = false;
};

// The words of the move-back window, shared by the command and the dashboard.
inline constexpr std::string_view kMoveBackUnavailable = "Move back unavailable for this item.";
inline constexpr std::string_view kWatcherTurnsOff =
    "Moving back will turn off the watcher. New files written here will stay on internal disk.";
inline constexpr std::string_view kWrittenSince =
    "These files were created on internal disk after the relocation. They'll be included in the "
    "move back.";
inline constexpr std::string_view kOverwriteChoice =
    "Skip the apps-in-use check and always overwrite internal-side files with the NVMe copy on "
    "conflict. The folder tree is still merged — files on internal that aren't on NVMe are kept.";
inline constexpr std::string_view kAppsInUse =
    "Quit them before continuing, or click Move back to proceed anyway (may interrupt the app).";

// A copy that is gone cannot come home; everything else can be tried.
[[nodiscard]] bool canMoveBack(const mover::RelocatedItem& item);

// What a move back of one item will meet, shown before it starts.
struct MoveBackPlan {
  // Files written at the original location since the relocation, relative to
  // it and sorted; they come home with the rest.
  std::vector<std::filesystem::path> writtenSince;
  // Of those, the ones the drive copy holds a version of too: the conflicts
  // that the overwrite choice settles.
  std::vector<std::filesystem::path> alsoOnDrive;
  // Enabled auto-sync policies watching the folder or a folder inside it;
  // the move back turns them off once the folder is home.
  std::vector<cloud::AutoSyncPolicy> watchers;
  // Programs with files open in the folder or its copy; not looked for when
  // the user chose to overwrite (that choice skips the check).
  std::vector<FolderInUseEntry> users;
};
[[nodiscard]] MoveBackPlan moveBackPlan(const MoverCommandContext& c,
                                        const mover::RelocatedItem& item, bool overwrite);

// The plan of moving back the item `id` names, for the dashboard: its texts
// and lists, with the programs using it (the page hides them once the user
// chooses to overwrite). The sentence saying why there is none otherwise.
[[nodiscard]] std::expected<nlohmann::json, std::string> moveBackPlanJson(
    const MoverCommandContext& c, const std::string& id);

// `--json` only with the list: the caller refuses it with an action.
int relocatedCommand(MoverCommandContext& c, const RelocatedOptions& o);

// Brings the relocated folder `id` home and waits until it is back or has
// stopped, showing progress; `c.confirm` decides on the plan first. Takes
// the relocator lock itself, so a caller must not hold it. 0 once the folder
// is back (or only its plan shown); 1 when it stays on the drive (said why);
// 2 when no single item matches `id`; 128 + the signal after Ctrl-C.
int moveBackCommand(MoverCommandContext& c, const std::string& id, bool overwrite);

// `relocated --json`: the items and the discovery walk's diagnostic;
// `movingBack` holds the ids of items whose move back is under way.
[[nodiscard]] std::string relocatedJson(const std::vector<mover::RelocatedItem>& items,
                                        const std::optional<mover::ScanDiagnostic>& diagnostic,
                                        const std::set<std::string>& movingBack = {});

}  // namespace brimvale::app
