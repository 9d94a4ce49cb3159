#include "app/cli/command_table.h"

#include <algorithm>

#include "app/cli/apps_entry.h"
#include "app/cli/autosync_entry.h"
#include "app/cli/care_entry.h"
#include "app/cli/cleanup_old_entry.h"
#include "app/cli/discover_entry.h"
#include "app/cli/drive_transfer_entry.h"
#include "app/cli/drives_entry.h"
#include "app/cli/history_entry.h"
#include "app/cli/home_entry.h"
#include "app/cli/install_entry.h"
#include "app/cli/jobs_entry.h"
#include "app/cli/junk_entry.h"
#include "app/cli/move_entry.h"
#include "app/cli/move_log_entry.h"
#include "app/cli/moves_entry.h"
#include "app/cli/notifications_entry.h"
#include "app/cli/open_entry.h"
#include "app/cli/pairs_entry.h"
#include "app/cli/panic_recovery_entry.h"
#include "app/cli/parked_entry.h"
#include "app/cli/preflight_entry.h"
#include "app/cli/prep_drive_entry.h"
#include "app/cli/relocate_entry.h"
#include "app/cli/relocated_entry.h"
#include "app/cli/remotes_entry.h"
#include "app/cli/rules_entry.h"
#include "app/cli/run_entry.h"
#include "app/cli/scan_entry.h"
#include "app/cli/self_check_entry.h"
#include "app/cli/service_entry.h"
#include "app/cli/settings_entry.h"
#include "app/cli/snapshots_entry.h"
#include "app/cli/status_entry.h"
#include "app/cli/stop_entry.h"
#include "app/cli/transfers_entry.h"
#include "app/cli/uninstall_entry.h"

namespace brimvale::app {

namespace {

// A command that cannot do its work without the installed service program.
CommandEntry runsService(CommandEntry entry) {
  entry.serviceUse = ServiceUse::kRunsServiceProgram;
  return entry;
}

}  // namespace

const std::vector<CommandEntry>& commandTable() {
  static const std::vector<CommandEntry> table{
      runEntry(),
      installEntry(),
      selfCheckEntry(),
      runsService(statusEntry()),
      jobsEntry(),
      notificationsEntry(),
      moveEntry(),
      movesEntry(),
      moveLogEntry(),
      parkedEntry(),
      runsService(homeEntry()),
      historyEntry(),
      runsService(careEntry()),
      runsService(rulesEntry()),
      snapshotsEntry(),
      runsService(serviceEntry()),
      runsService(drivesEntry()),
      runsService(scanEntry()),
      runsService(driveTransferEntry()),
      settingsEntry(),
      relocatedEntry(),
      stopEntry(),
      uninstallEntry(),
      preflightEntry(),
      runsService(discoverEntry()),
      runsService(prepDriveEntry()),
      relocateEntry(),
      cleanupOldEntry(),
      panicRecoveryEntry(),
      appsEntry(),
      transfersEntry(),
      remotesEntry(),
      autosyncEntry(),
      pairsEntry(),
      junkEntry(),
      openEntry(),
  };
  return table;
}

std::vector<CommandHelp> brimvaleCommands() {
  std::vector<CommandHelp> rows;
  for (const auto& entry : commandTable()) rows.push_back({entry.name, entry.help});
  return rows;
}

bool isBrimvaleCommand(std::string_view name) {
  const auto& table = commandTable();
  return std::any_of(table.begin(), table.end(),
                     [name](const CommandEntry& entry) { return entry.name == name; });
}

}  // namespace brimvale::app
