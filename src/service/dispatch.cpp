#include "service/dispatch.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/stale_temporaries.h"
#include "service/core/core_commands.h"
#include "service/drive_transfer/transfer_job.h"
#include "service/drives/drive_commands.h"
#include "service/drives/drive_folder_commands.h"
#include "service/drives/remount.h"
#include "service/drives/self_backup.h"
#include "service/relocation/relocation.h"
#include "service/relocation/rollback.h"
#include "service/rules/cloud_eviction.h"
#include "service/rules/free_space.h"
#include "service/rules/reclaim.h"
#include "service/rules/rule_commands.h"
#include "service/rules/storage_report.h"
#include "service/watch/watch.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

enum class ConfigNeed { kNone, kLoad };

using Handler = int (*)(ServiceContext&, const std::vector<std::string>&);

struct Subcommand {
  std::string_view name;
  std::string_view usage;  // first help column; empty keeps it out of help
  std::string_view help;
  ConfigNeed config;
  Handler handler;
};

int helpCommand(ServiceContext& ctx, const std::vector<std::string>&);

// Help lists the rows with a usage text, in table order.
constexpr std::array kSubcommands{
    Subcommand{"status", "status", "text snapshot of drive, disk, quiet gate and state",
               ConfigNeed::kLoad, statusCommand},
    Subcommand{"json", "json", "write and print the status snapshot", ConfigNeed::kLoad,
               jsonCommand},
    Subcommand{"actions", "actions [N]", "last N action-log rows as JSON (default 50)",
               ConfigNeed::kNone, actionsCommand},
    Subcommand{"rules", "rules", "print each configured rule", ConfigNeed::kLoad, rulesCommand},
    Subcommand{"dry-run", "dry-run", "show what a rule run would do, changing nothing",
               ConfigNeed::kLoad, dryRunCommand},
    Subcommand{"relocate-now", "relocate-now", "run the rules now", ConfigNeed::kLoad,
               relocateNowCommand},
    Subcommand{"clean-app-caches", "clean-app-caches", "empty the configured app cache folders",
               ConfigNeed::kLoad, cleanAppCachesCommand},
    Subcommand{"free-space", "free-space",
               "run the rules, clean app caches and report the space won", ConfigNeed::kLoad,
               freeSpaceCommand},
    Subcommand{"reclaim", "reclaim CATEGORY",
               "delete devcaches, syslog or trash clutter (JSON result)", ConfigNeed::kLoad,
               reclaimCommand},
    Subcommand{"reclaim-scan", "reclaim-scan", "size the three reclaim categories (JSON lines)",
               ConfigNeed::kLoad, reclaimScanCommand},
    Subcommand{"scan-storage", "scan-storage", "sizes of well-known space consumers (JSON lines)",
               ConfigNeed::kLoad, scanStorageCommand},
    Subcommand{"list-cloud-roots", "list-cloud-roots", "cloud folders on this computer",
               ConfigNeed::kLoad, listCloudRootsCommand},
    Subcommand{"optimize-cloud", "optimize-cloud ROOT",
               "drop local copies of cloud files (they stay in the cloud)", ConfigNeed::kLoad,
               optimizeCloudCommand},
    Subcommand{"optimize-icloud", "", "", ConfigNeed::kLoad, optimizeCloudCommand},
    Subcommand{"snapshot", "snapshot", "append one row to the usage history", ConfigNeed::kLoad,
               snapshotCommand},
    Subcommand{"watch", "watch", "run the background loop (used by the service manager)",
               ConfigNeed::kLoad, watchCommand},
    Subcommand{"pause", "pause", "stop all automatic actions", ConfigNeed::kNone, pauseCommand},
    Subcommand{"resume", "resume", "allow automatic actions again", ConfigNeed::kNone,
               resumeCommand},
    Subcommand{"remount", "remount", "mount the drive and recover its marker", ConfigNeed::kLoad,
               remountCommand},
    Subcommand{"rollback", "rollback", "undo the last batch of moves (--yes to skip the prompt)",
               ConfigNeed::kLoad, rollbackCommand},
    Subcommand{"backup-self", "backup-self", "copy the configuration and state onto the drive",
               ConfigNeed::kLoad, backupSelfCommand},
    Subcommand{"log", "log [N]", "last N lines of the service log (default 50)", ConfigNeed::kNone,
               logCommand},
    Subcommand{"rules-preview", "", "", ConfigNeed::kLoad, rulesPreviewCommand},
    Subcommand{"tcc-check", "", "", ConfigNeed::kLoad, tccCheckCommand},
    Subcommand{"move-dir", "", "", ConfigNeed::kLoad, moveDirCommand},
    Subcommand{"recover", "", "", ConfigNeed::kLoad, recoverCommand},
    Subcommand{"validate", "", "", ConfigNeed::kLoad, validateCommand},
    Subcommand{"show-in-finder", "", "", ConfigNeed::kLoad, showInFinderCommand},
    Subcommand{"nvme-info", "", "", ConfigNeed::kLoad, nvmeInfoCommand},
    Subcommand{"eject-nvme", "", "", ConfigNeed::kLoad, ejectNvmeCommand},
    Subcommand{"list-drives", "", "", ConfigNeed::kLoad, listDrivesCommand},
    Subcommand{"assess", "", "", ConfigNeed::kLoad, assessCommand},
    Subcommand{"benchmark", "", "", ConfigNeed::kLoad, benchmarkCommand},
    Subcommand{"select-drive", "", "", ConfigNeed::kLoad, selectDriveCommand},
    Subcommand{"doctor", "doctor", "diagnostics of the drive, the service and dangling links",
               ConfigNeed::kLoad, doctorCommand},
    Subcommand{"transfer-check", "", "", ConfigNeed::kLoad, transferCheckCommand},
    Subcommand{"transfer-start", "", "", ConfigNeed::kLoad, transferStartCommand},
    Subcommand{"transfer-status", "", "", ConfigNeed::kNone, transferStatusCommand},
    Subcommand{"transfer-pause", "", "", ConfigNeed::kNone, transferPauseCommand},
    Subcommand{"transfer-resume", "", "", ConfigNeed::kLoad, transferResumeCommand},
    Subcommand{"transfer-cancel", "", "", ConfigNeed::kNone, transferCancelCommand},
    Subcommand{"transfer-commit", "", "", ConfigNeed::kLoad, transferCommitCommand},
    Subcommand{"__xfer-supervise", "", "", ConfigNeed::kLoad, transferSuperviseCommand},
    Subcommand{"help", "", "", ConfigNeed::kNone, helpCommand},
    Subcommand{"-h", "", "", ConfigNeed::kNone, helpCommand},
    Subcommand{"--help", "", "", ConfigNeed::kNone, helpCommand},
};

int helpCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  std::string out =
      "brim-vale: smart storage management daemon for an always-attached external drive\n\n"
      "Usage: brim-vale [subcommand [arguments]]   (default: status)\n\n";
  for (const auto& s : kSubcommands) {
    if (s.usage.empty()) continue;
    std::string usage(s.usage);
    usage.resize(std::max<std::size_t>(usage.size() + 2, 20), ' ');
    out += "  " + usage + std::string(s.help) + "\n";
  }
  out += "\nConfig:   " + ctx.paths.config.string() + "\n";
  out += "Status:   " + ctx.paths.statusJson.string() + "\n";
  out += "Log:      " + ctx.paths.log.string() + "\n";
  out += "Actions:  " + ctx.paths.actions.string() + "\n";
  ctx.out << out;
  return 0;
}

void prepareStateDirectory(const ServiceContext& ctx) {
  const StatePaths& paths = ctx.paths;
  const DiagnosticsLog diagnostics(paths.diagnosticsLog, ctx.clock);
  bestEffort(createDirectories(paths.state), diagnostics, "creating the state folder");
  bestEffort(touchFile(paths.log), diagnostics, "creating the service log");
  bestEffort(touchFile(paths.actions), diagnostics, "creating the action log");
  // Only the log hears about it: the output of json, reclaim and the like is read by programs.
  for (const auto& leftover : sweepStaleTemporaries(paths.root)) {
    ctx.log.log("removed " + leftover.string() + ", left by a write that was interrupted");
  }
}

}  // namespace

bool isServiceSubcommand(std::string_view name) {
  return std::any_of(kSubcommands.begin(), kSubcommands.end(),
                     [name](const Subcommand& s) { return s.name == name; });
}

int runService(ServiceContext& ctx, const std::vector<std::string>& args) {
  prepareStateDirectory(ctx);
  const std::string name = args.empty() ? "status" : args[0];
  const std::vector<std::string> rest(args.empty() ? args.end() : args.begin() + 1, args.end());
  for (const auto& s : kSubcommands) {
    if (s.name != name) continue;
    if (s.config == ConfigNeed::kLoad && !loadConfig(ctx)) return 1;
    return s.handler(ctx, rest);
  }
  ctx.out << "Unknown subcommand: " << name << "\n";
  return 2;
}

}  // namespace brimvale::service
