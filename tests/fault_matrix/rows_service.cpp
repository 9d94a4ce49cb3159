// The service's commands that move or delete, in the fault matrix.
#include <ctime>
#include <filesystem>
#include <fstream>

#include "fault_matrix.h"
#include "row_support.h"

namespace brimvale::faults {
namespace fs = std::filesystem;

namespace {

// Everything below `folder` that a cleaner means to delete: its direct entries.
std::vector<fs::path> entriesOf(const fs::path& folder) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path());
  return out;
}

const std::string kOnlyInternal =
    "the command works on the internal disk only; the drive is never read or written";

Row moveDirRow() {
  Row row;
  row.name = "brim-vale move-dir";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / "Data";
    writeUserTree(s.target);
    s.command = {.program = Program::kService, .args = {"move-dir", s.target.string()}};
    return true;
  };
  row.moments = {"move-dir:copying", "move-dir:copied", "move-dir:compared",
                 "move-dir:parked",  "move-dir:linked", "move-dir:record-written",
                 "move-dir:finished"};
  row.claimHolds = [](Scene& s) -> std::string {
    std::error_code ec;
    if (!fs::is_symlink(s.target, ec)) return s.target.string() + " is not a link to the drive";
    const fs::path copy = fs::read_symlink(s.target, ec);
    if (!isBelow(copy, s.world.working() / "Relocated") || !fs::is_directory(copy, ec))
      return s.target.string() + " links to " + copy.string();
    return {};
  };
  return row;
}

// ~/Old: the user's tree aged 40 days, two big files among it, and a file
// written today that no rule may take.
void writeOldFolder(Scene& s) {
  s.target = s.world.home() / "Old";
  writeUserTree(s.target);
  for (const char* big : {"big.iso", "folder 1/big.bin"}) {
    std::ofstream out(s.target / big, std::ios::binary);
    for (int line = 0; out && line < 40'000; ++line) out << big << " line " << line << "\n";
  }
  ageTree(s.target, 40);
  std::ofstream(s.target / "fresh.txt") << "written today, younger than every rule\n";
}

// A rule run by relocate-now over ~/Old with one rule of `action`.
Row relocateNowRow(const std::string& action) {
  Row row;
  row.name = "brim-vale relocate-now " + action;
  const bool archive = action != "delete_old";
  row.prepare = [action, archive](Scene& s) {
    writeOldFolder(s);
    addConfig(s.world, "RULES=(\n  \"" + action + " | $HOME/Old | Old-Archive | 30 | 1\"\n)\n");
    if (!archive) {
      for (const fs::path& entry : entriesOf(s.target)) {
        if (entry.filename() != "fresh.txt") s.deletes.push_back(entry);
      }
    }
    s.command = {.program = Program::kService, .args = {"relocate-now"}};
    return true;
  };
  row.moments =
      archive ? std::vector<std::string>{"archive:claimed", "archive:copied", "archive:removed"}
              : std::vector<std::string>{"rules:deleting", "rules:deleted"};
  row.claimHolds = actionsHold;
  row.successText = archive ? "moved (" : "deleted: ";
  if (!archive) {
    row.notApplicable = {{Fault::kUnplugged, kOnlyInternal}, {Fault::kDriveFull, kOnlyInternal}};
  }
  return row;
}

// The delete rule with DELETE_TO_TRASH=1: what it takes from ~/Old goes to
// the home's Trash, which is on the same file system. Nothing is meant to
// be gone, so an item neither in ~/Old nor in the Trash is lost, and one in
// the Trash without its record has lost its way back.
Row relocateNowToTrashRow() {
  Row row;
  row.name = "brim-vale relocate-now delete_old (Trash)";
  row.prepare = [](Scene& s) {
    writeOldFolder(s);
    addConfig(
        s.world,
        "DELETE_TO_TRASH=1\nRULES=(\n  \"delete_old | $HOME/Old | Old-Archive | 30 | 1\"\n)\n");
    s.command = {.program = Program::kService,
                 .args = {"relocate-now"},
                 .env = {{"XDG_DATA_HOME", (s.world.home() / ".local/share").string()}}};
    return true;
  };
  row.moments = {"rules:trashing", "trash:recorded"};
  row.claimHolds = actionsHold;
  row.successText = "moved to the Trash: ";
  row.notApplicable = {{Fault::kUnplugged, kOnlyInternal}, {Fault::kDriveFull, kOnlyInternal}};
  row.unrecoverable = trashWithoutWayBack;
  return row;
}

// An application folder whose cache subfolder holds the user tree (aged two
// days, so nothing in it is in use) beside settings that must stay.
Row cleanAppCachesRow() {
  Row row;
  row.name = "brim-vale clean-app-caches";
  row.prepare = [](Scene& s) {
    const fs::path app = s.world.home() / "App Support" / "Chat";
    s.target = app / "Cache";
    writeUserTree(s.target);
    ageTree(s.target, 2);
    std::ofstream(app / "settings.json") << "{\"theme\": \"dark\"}\n";
    addConfig(s.world,
              "APP_CACHE_PATHS=(\"$HOME/App Support/Chat\")\nAPP_CACHE_SAFE_DIRS=(\"Cache\")\n");
    s.deletes = entriesOf(s.target);
    s.command = {.program = Program::kService, .args = {"clean-app-caches"}};
    return true;
  };
  row.moments = {"rules:deleting", "rules:deleted"};
  row.claimHolds = actionsHold;
  row.notApplicable = {{Fault::kUnplugged, kOnlyInternal}, {Fault::kDriveFull, kOnlyInternal}};
  return row;
}

Row reclaimDevCachesRow() {
  Row row;
  row.name = "brim-vale reclaim devcaches";
  row.prepare = [](Scene& s) {
    s.target = s.world.home() / ".cache" / "pip";
    writeUserTree(s.target);
    ageTree(s.target, 2);
    s.deletes = entriesOf(s.target);
    s.command = {.program = Program::kService, .args = {"reclaim", "devcaches"}};
    return true;
  };
  row.moments = {"reclaim:deleting", "reclaim:deleted"};
  row.claimHolds = actionsHold;
  row.notApplicable = {{Fault::kUnplugged, kOnlyInternal}, {Fault::kDriveFull, kOnlyInternal}};
  return row;
}

// Puts `name` into the freedesktop Trash with a record saying it was thrown
// away `days` days ago.
fs::path trashed(const fs::path& home, const std::string& name, int days) {
  const fs::path trash = home / ".local/share/Trash";
  const fs::path item = trash / "files" / name;
  fs::create_directories(trash / "info");
  writeUserTree(item, 4);
  ageTree(item, days);
  const std::time_t at = std::time(nullptr) - static_cast<std::time_t>(days) * 86'400;
  std::tm local{};
  localtime_r(&at, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::ofstream(trash / "info" / (name + ".trashinfo"))
      << "[Trash Info]\nPath=" << (home / name).string() << "\nDeletionDate=" << date << "\n";
  return item;
}

Row reclaimTrashRow() {
  Row row;
  row.name = "brim-vale reclaim trash";
  row.prepare = [](Scene& s) {
    const fs::path home = s.world.home().path();
    const fs::path info = home / ".local/share/Trash/info";
    // Each item goes with its record.
    s.deletes = {trashed(home, "Old letters", 40), info / "Old letters.trashinfo",
                 trashed(home, "Old photos", 60), info / "Old photos.trashinfo"};
    trashed(home, "Last week", 5);
    s.target = home / ".local/share/Trash/files";
    s.command = {.program = Program::kService, .args = {"reclaim", "trash"}};
    return true;
  };
  row.moments = {"reclaim:deleting", "reclaim:deleted"};
  row.claimHolds = actionsHold;
  row.notApplicable = {{Fault::kUnplugged, kOnlyInternal}, {Fault::kDriveFull, kOnlyInternal}};
  return row;
}

// The combined run: an archive rule over ~/Old, then the cache clean-up.
Row freeSpaceRow() {
  Row row;
  row.name = "brim-vale free-space";
  row.prepare = [](Scene& s) {
    writeOldFolder(s);
    const fs::path cache = s.world.home() / "App Support" / "Chat" / "Cache";
    writeUserTree(cache, 5);
    ageTree(cache, 2);
    addConfig(s.world,
              "RULES=(\n  \"archive_old | $HOME/Old | Old-Archive | 30 | \"\n)\n"
              "APP_CACHE_PATHS=(\"$HOME/App Support/Chat\")\nAPP_CACHE_SAFE_DIRS=(\"Cache\")\n");
    s.deletes = entriesOf(cache);
    s.command = {.program = Program::kService, .args = {"free-space"}};
    return true;
  };
  row.moments = {"archive:copied", "archive:removed", "rules:deleting"};
  row.claimHolds = actionsHold;
  row.successText = "moved (";
  return row;
}

Row optimizeCloudRow() {
  Row row;
  row.name = "brim-vale optimize-cloud";
  row.prepare = [](Scene&) { return false; };
  row.claimHolds = [](Scene&) { return std::string(); };
  const std::string why =
      "no cloud eviction tool exists on Linux: the command stops with \"no eviction tool "
      "available\" (exit 3) before it looks at a file, and eviction never deletes anything the "
      "cloud does not keep";
  for (const auto& fault : kFaultNames) row.notApplicable[fault.value] = why;
  return row;
}

// Today's backup (UTC date) holds the configuration, the state and its manifest.
std::string backupHolds(Scene& s) {
  char date[16];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(date, sizeof date, "%Y-%m-%d", &utc);
  const fs::path today = s.world.working() / "Brimvale-Backup" / date;
  std::error_code ec;
  for (const char* part : {"manifest.txt", "brim-vale.conf", "state"}) {
    if (!fs::exists(today / part, ec)) return "the backup " + today.string() + " has no " + part;
  }
  return {};
}

// Eight earlier backups on the drive, of which the newest seven are kept
// once today's is written: the oldest is the folder worked on.
Row backupSelfRow() {
  Row row;
  row.name = "brim-vale backup-self";
  row.prepare = [](Scene& s) {
    const fs::path root = s.world.working() / "Brimvale-Backup";
    for (int day = 1; day <= 8; ++day) {
      const fs::path dated = root / ("2020-01-0" + std::to_string(day));
      fs::create_directories(dated / "state");
      std::ofstream(dated / "brim-vale.conf") << "NVMe=\"/Volumes/Old" << day << "\"\n";
      std::ofstream(dated / "state" / "status.json") << "{\"day\": " << day << "}\n";
      std::ofstream(dated / "manifest.txt") << "backup_date=2020-01-0" << day << "\n";
      ageTree(dated, 30);
    }
    s.target = root / "2020-01-01";
    s.deletes = {root / "2020-01-01", root / "2020-01-02"};
    s.command = {.program = Program::kService, .args = {"backup-self"}};
    return true;
  };
  row.moments = {"self-backup:copied", "self-backup:pruning"};
  row.claimHolds = backupHolds;
  row.successText = "Self-backup written to:";
  return row;
}

// The loop with the clock at the configured hour: one tick runs the rules
// (an archive rule over ~/Old) and the self-backup, then the loop is ended
// where launchd would stop it, at the end of the tick.
Row watchDailyRunRow() {
  Row row;
  row.name = "brim-vale watch (daily run)";
  row.prepare = [](Scene& s) {
    writeOldFolder(s);
    addConfig(s.world,
              "RULES=(\n  \"archive_old | $HOME/Old | Old-Archive | 30 | \"\n)\n"
              "AUTO_RELOCATE_DAILY=1\nENABLE_AUTO_ACTIONS=1\nAUTO_RELOCATE_HOUR=3\n"
              "QUIET_MODE=always-on\nWATCH_INTERVAL_SECS=1\n");
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = 3;
    local.tm_min = 30;
    const fs::path clock = s.world.scratch() / "clock";
    std::ofstream(clock) << std::mktime(&local) << "\n";
    s.command = {
        .program = Program::kService,
        .args = {"--clock-file=" + clock.string(), "--stop-after=watch:tick-done", "watch"}};
    return true;
  };
  row.moments = {"archive:copied", "archive:removed"};
  row.claimHolds = actionsHold;
  row.successText = "moved (";
  return row;
}

}  // namespace

std::vector<Row> serviceRows() {
  return {moveDirRow(),
          relocateNowRow("archive_old"),
          relocateNowRow("archive_big"),
          relocateNowRow("delete_old"),
          relocateNowToTrashRow(),
          cleanAppCachesRow(),
          reclaimDevCachesRow(),
          reclaimTrashRow(),
          freeSpaceRow(),
          optimizeCloudRow(),
          backupSelfRow(),
          watchDailyRunRow()};
}

}  // namespace brimvale::faults
