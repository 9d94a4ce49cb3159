#include "service/dispatch.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

#include "common/base/best_effort.h"
#include "common/base/error.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/nearest_name.h"
#include "common/base/stale_temporaries.h"
#include "common/base/version.h"
#include "service/core/core_commands.h"
#include "service/drive_transfer/transfer_job.h"
#include "service/drives/drive_choice.h"
#include "service/drives/drive_commands.h"
#include "service/drives/drive_folder_commands.h"
#include "service/drives/remount.h"
#include "service/drives/self_backup.h"
#include "service/relocation/relocation.h"
#include "service/relocation/rollback.h"
#include "service/rules/cloud_eviction.h"
#include "service/rules/clutter_places.h"
#include "service/rules/free_space.h"
#include "service/rules/reclaim.h"
#include "service/rules/rule_commands.h"
#include "service/rules/storage_report.h"
#include "service/watch/watch.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

enum class ConfigNeed { kNone, kLoad };

// Where help lists a subcommand: the everyday summary first, then the rest by
// subsystem. Hidden rows answer but help does not list them.
enum class HelpGroup {
  kSummary,
  kRelocation,
  kRules,
  kFreeSpace,
  kDrives,
  kTransfer,
  kHelp,
  kHidden
};

struct HelpHeading {
  HelpGroup group;
  std::string_view text;
};

constexpr std::array kHelpHeadings{
    HelpHeading{HelpGroup::kRelocation, "Relocation and the working folder:"},
    HelpHeading{HelpGroup::kRules, "Rules:"},
    HelpHeading{HelpGroup::kFreeSpace, "Free space, cloud folders and history:"},
    HelpHeading{HelpGroup::kDrives, "Drives:"},
    HelpHeading{HelpGroup::kTransfer, "Drive transfer:"},
    HelpHeading{HelpGroup::kHelp, "Help:"},
};

using Handler = int (*)(ServiceContext&, const std::vector<std::string>&);

struct Subcommand {
  std::string_view name;
  // First help column, the name with its arguments. Empty for a name that
  // another row already shows ("pause / resume", "help | -h | --help").
  std::string_view usage;
  std::string_view help;
  HelpGroup group;
  ConfigNeed config;
  Handler handler;
  std::span<const SubcommandOption> options = {};
  std::vector<std::string_view> (*firstWords)() = nullptr;
};

constexpr std::array kItemsOption{
    SubcommandOption{"--items", "a line for each item it would delete, before its category's"}};
constexpr std::array kOnlyOption{SubcommandOption{
    "--only FILE", "delete only the candidates FILE (a JSON array of paths) names"}};
constexpr std::array kRuleItemsOptions{
    SubcommandOption{"--items", "a JSON line for each item instead, then the totals"},
    SubcommandOption{"--only FILE",
                     "only the items of FILE (`dry-run --items` lines) the rules "
                     "still choose, unchanged, then each of FILE's it left"}};
constexpr std::array kRuleOnlyOption{
    SubcommandOption{"--only FILE",
                     "act only on the items of FILE (`dry-run --items` lines) "
                     "the rules still choose, unchanged"}};
constexpr std::array kYesOption{SubcommandOption{"-y --yes", "go ahead without asking first"}};

std::vector<std::string_view> reclaimCategories() {
  std::vector<std::string_view> names;
  for (const auto& places : reclaimPlaces(kHostHomeLayout)) names.push_back(places.name);
  return names;
}

int helpCommand(ServiceContext& ctx, const std::vector<std::string>&);

int versionCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  ctx.out << "brim-vale " << kVersion << "\n";
  return 0;
}

#if defined(__APPLE__)
constexpr Subcommand kICloudAlias{
    "optimize-icloud",     "optimize-icloud ROOT", "the same as optimize-cloud",
    HelpGroup::kFreeSpace, ConfigNeed::kLoad,      optimizeCloudCommand};
#else
// Kept for scripts written for the other system, where it names that system's
// cloud; here it says it is not available and points to optimize-cloud.
int unavailableCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  ctx.out << Error{Errc::kUnavailable}.message() << "\n";
  return 1;
}
constexpr Subcommand kICloudAlias{"optimize-icloud",
                                  "optimize-icloud ROOT",
                                  "not available on this computer: use optimize-cloud",
                                  HelpGroup::kHidden,
                                  ConfigNeed::kNone,
                                  unavailableCommand};
#endif

// Help lists the rows of each group in table order.
constexpr std::array kSubcommands{
    Subcommand{"status", "status", "text snapshot of drive, disk, quiet gate and state",
               HelpGroup::kSummary, ConfigNeed::kLoad, statusCommand},
    Subcommand{"json", "json", "write and print the status snapshot", HelpGroup::kSummary,
               ConfigNeed::kLoad, jsonCommand},
    Subcommand{"actions", "actions [N]", "last N action-log rows as JSON (default 50)",
               HelpGroup::kSummary, ConfigNeed::kNone, actionsCommand},
    Subcommand{"watch", "watch", "run the background loop (used by the service manager)",
               HelpGroup::kSummary, ConfigNeed::kLoad, watchCommand},
    Subcommand{"rules", "rules", "print each configured rule", HelpGroup::kSummary,
               ConfigNeed::kLoad, rulesCommand},
    Subcommand{"dry-run", "dry-run", "show what a rule run would do, changing nothing",
               HelpGroup::kSummary, ConfigNeed::kLoad, dryRunCommand, kRuleItemsOptions},
    Subcommand{"relocate-now", "relocate-now",
               "run the rules now (DELETE_TO_TRASH=1: what they delete goes to the Trash)",
               HelpGroup::kSummary, ConfigNeed::kLoad, relocateNowCommand, kRuleOnlyOption},
    Subcommand{"clean-app-caches", "clean-app-caches", "empty the configured app cache folders",
               HelpGroup::kSummary, ConfigNeed::kLoad, cleanAppCachesCommand},
    Subcommand{"remount", "remount", "mount the drive and recover its marker", HelpGroup::kSummary,
               ConfigNeed::kLoad, remountCommand},
    Subcommand{"pause", "pause / resume", "stop / allow again all automatic actions",
               HelpGroup::kSummary, ConfigNeed::kNone, pauseCommand},
    Subcommand{"resume", "", "", HelpGroup::kSummary, ConfigNeed::kNone, resumeCommand},
    Subcommand{"rollback", "rollback", "undo the last batch of moves (--yes to skip the prompt)",
               HelpGroup::kSummary, ConfigNeed::kLoad, rollbackCommand, kYesOption},
    Subcommand{"log", "log [N]", "last N lines of the service log (default 50)",
               HelpGroup::kSummary, ConfigNeed::kNone, logCommand},
    Subcommand{"doctor", "doctor", "diagnostics of the drive, the service and dangling links",
               HelpGroup::kSummary, ConfigNeed::kLoad, doctorCommand},

    Subcommand{"move-dir", "move-dir PATH", "relocate one folder and link it back",
               HelpGroup::kRelocation, ConfigNeed::kLoad, moveDirCommand},
    Subcommand{"recover", "recover", "create the working folder, its layout and marker",
               HelpGroup::kRelocation, ConfigNeed::kLoad, recoverCommand},
    Subcommand{"validate", "validate", "check that moves can run now", HelpGroup::kRelocation,
               ConfigNeed::kLoad, validateCommand},
    Subcommand{"show-in-finder", "show-in-finder", "open the working folder",
               HelpGroup::kRelocation, ConfigNeed::kLoad, showInFinderCommand},

    Subcommand{"rules-preview", "rules-preview", "per-rule table of what matches now",
               HelpGroup::kRules, ConfigNeed::kLoad, rulesPreviewCommand},
    Subcommand{"tcc-check", "tcc-check", "whether each rule's source folder can be read",
               HelpGroup::kRules, ConfigNeed::kLoad, tccCheckCommand},

    Subcommand{"free-space", "free-space",
               "run the rules, clean app caches and report the space won", HelpGroup::kFreeSpace,
               ConfigNeed::kLoad, freeSpaceCommand},
    Subcommand{"reclaim", "reclaim CATEGORY [--only FILE]",
               "delete devcaches, syslog or trash clutter (JSON result)", HelpGroup::kFreeSpace,
               ConfigNeed::kLoad, reclaimCommand, kOnlyOption, reclaimCategories},
    Subcommand{"reclaim-scan", "reclaim-scan [--items]",
               "size the three reclaim categories (JSON lines)", HelpGroup::kFreeSpace,
               ConfigNeed::kLoad, reclaimScanCommand, kItemsOption},
    Subcommand{"scan-storage", "scan-storage", "sizes of well-known space consumers (JSON lines)",
               HelpGroup::kFreeSpace, ConfigNeed::kLoad, scanStorageCommand},
    Subcommand{"list-cloud-roots", "list-cloud-roots", "cloud folders on this computer",
               HelpGroup::kFreeSpace, ConfigNeed::kNone, listCloudRootsCommand},
    Subcommand{"optimize-cloud", "optimize-cloud ROOT",
               "drop local copies of cloud files (they stay in the cloud)", HelpGroup::kFreeSpace,
               ConfigNeed::kLoad, optimizeCloudCommand},
    kICloudAlias,
    Subcommand{"snapshot", "snapshot", "append one row to the usage history", HelpGroup::kFreeSpace,
               ConfigNeed::kLoad, snapshotCommand},
    Subcommand{"backup-self", "backup-self", "copy the configuration and state onto the drive",
               HelpGroup::kFreeSpace, ConfigNeed::kLoad, backupSelfCommand},

    Subcommand{"nvme-info", "nvme-info", "drive details as JSON", HelpGroup::kDrives,
               ConfigNeed::kLoad, nvmeInfoCommand},
    Subcommand{"eject-nvme", "eject-nvme", "pause, quit apps using the drive, then eject it",
               HelpGroup::kDrives, ConfigNeed::kLoad, ejectNvmeCommand},
    Subcommand{"list-drives", "list-drives", "drives that could be used, as JSON",
               HelpGroup::kDrives, ConfigNeed::kLoad, listDrivesCommand},
    Subcommand{"assess", "assess PATH", "whether the drive at PATH is suitable (JSON)",
               HelpGroup::kDrives, ConfigNeed::kLoad, assessCommand},
    Subcommand{"benchmark", "benchmark PATH", "read and write speed of the drive at PATH (JSON)",
               HelpGroup::kDrives, ConfigNeed::kLoad, benchmarkCommand},
    Subcommand{"select-drive", "select-drive PATH [force]", "use the drive at PATH from now on",
               HelpGroup::kDrives, ConfigNeed::kLoad, selectDriveCommand},

    Subcommand{"transfer-check", "transfer-check DEST [KIND]",
               "check a copy of the working folder to DEST could start", HelpGroup::kTransfer,
               ConfigNeed::kLoad, transferCheckCommand},
    Subcommand{"transfer-start", "transfer-start [KIND] DEST CONSENT",
               "start copying the working folder to DEST", HelpGroup::kTransfer, ConfigNeed::kLoad,
               transferStartCommand},
    Subcommand{"transfer-status", "transfer-status", "the transfer job as JSON",
               HelpGroup::kTransfer, ConfigNeed::kNone, transferStatusCommand},
    Subcommand{"transfer-pause", "transfer-pause", "pause the transfer job", HelpGroup::kTransfer,
               ConfigNeed::kNone, transferPauseCommand},
    Subcommand{"transfer-resume", "transfer-resume", "resume the transfer job",
               HelpGroup::kTransfer, ConfigNeed::kLoad, transferResumeCommand},
    Subcommand{"transfer-cancel", "transfer-cancel", "cancel the transfer job",
               HelpGroup::kTransfer, ConfigNeed::kNone, transferCancelCommand, kYesOption},
    Subcommand{"transfer-commit", "transfer-commit", "finish a copied transfer job",
               HelpGroup::kTransfer, ConfigNeed::kLoad, transferCommitCommand},
    Subcommand{"__xfer-supervise", "__xfer-supervise",
               "internal: the detached copy supervisor transfer-start runs", HelpGroup::kTransfer,
               ConfigNeed::kLoad, transferSuperviseCommand},

    Subcommand{"help", "help | -h | --help", "this summary", HelpGroup::kHelp, ConfigNeed::kNone,
               helpCommand},
    Subcommand{"-h", "", "", HelpGroup::kHelp, ConfigNeed::kNone, helpCommand},
    Subcommand{"--help", "", "", HelpGroup::kHelp, ConfigNeed::kNone, helpCommand},
    Subcommand{"--version", "--version", "the program's name and version", HelpGroup::kHelp,
               ConfigNeed::kNone, versionCommand},
};

// One column for every row, wide enough for the longest usage.
constexpr std::size_t kUsageColumn = [] {
  std::size_t widest = 0;
  for (const auto& s : kSubcommands) widest = std::max(widest, s.usage.size());
  return widest + 2;
}();

std::string helpRows(HelpGroup group) {
  std::string rows;
  for (const auto& s : kSubcommands) {
    if (s.group != group || s.usage.empty()) continue;
    std::string usage(s.usage);
    usage.resize(kUsageColumn, ' ');
    rows += "  " + usage + std::string(s.help) + "\n";
  }
  return rows;
}

int helpCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  std::string out = "brim-vale: " + std::string(kServiceSummary) + "\n\n" +
                    "Usage: brim-vale [subcommand [arguments]]   (default: status)\n\n" +
                    helpRows(HelpGroup::kSummary) + "\nMore subcommands:\n";
  for (const auto& heading : kHelpHeadings) {
    out += "\n" + std::string(heading.text) + "\n" + helpRows(heading.group);
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

// The row help shows `row` on: its own, or for a name without a usage of its
// own ("resume", "-h") the nearest one above, which shows both.
const Subcommand& shownOn(const Subcommand& row) {
  static_assert(!kSubcommands.front().usage.empty());
  const Subcommand* shown = &row;
  while (shown->usage.empty()) --shown;
  return *shown;
}

// "-h" or "--help" anywhere after the name asks for the subcommand's help. No
// argument the service takes can be either word (paths work as well spelled
// "./--help", the rest are fixed words and numbers) and it has no "--" to end
// its options, so even "move-dir -- --help" shows help: the reading of the
// line that changes nothing.
bool asksForHelp(const std::vector<std::string>& rest) {
  return std::ranges::any_of(rest, [](const std::string& a) { return a == "-h" || a == "--help"; });
}

void subcommandHelpText(ServiceContext& ctx, const Subcommand& row) {
  ctx.out << "Usage: brim-vale " << row.usage << "\n  " << row.help
          << "\n\nRun \"brim-vale help\" for every subcommand.\n";
}

// The line after "Unknown subcommand": the name most likely meant, if any,
// among those help shows (internal, hidden and option-like names are never suggested).
std::string suggestion(std::string_view typed) {
  std::vector<std::string_view> shown;
  for (const auto& s : kSubcommands) {
    if (!s.name.starts_with('-') && !s.name.starts_with('_') && s.group != HelpGroup::kHidden)
      shown.push_back(s.name);
  }
  const std::string list = "Run \"brim-vale help\" for the list.\n";
  const auto meant = nearestName(typed, shown);
  return meant ? "Did you mean \"" + std::string(*meant) + "\"? " + list : list;
}

}  // namespace

std::vector<std::string_view> subcommandNames() {
  std::vector<std::string_view> names;
  for (const auto& s : kSubcommands) {
    if (s.group != HelpGroup::kHidden) names.push_back(s.name);
  }
  return names;
}

std::vector<SubcommandHelp> subcommandHelp() {
  std::vector<SubcommandHelp> rows;
  for (const auto& s : kSubcommands) {
    if (s.group == HelpGroup::kHidden) continue;  // they answer, but help does not list them
    if (s.usage.empty()) {
      rows.back().aliases.push_back(s.name);  // the first row has a usage: see shownOn()
    } else {
      rows.push_back({s.name, s.usage, s.help, s.options,
                      s.firstWords ? s.firstWords() : std::vector<std::string_view>{}});
    }
  }
  return rows;
}

int runService(ServiceContext& ctx, const std::vector<std::string>& args) {
  const std::string name = args.empty() ? "status" : args[0];
  const std::vector<std::string> rest(args.empty() ? args.end() : args.begin() + 1, args.end());
  const auto row = std::ranges::find(kSubcommands, name, &Subcommand::name);
  if (row == kSubcommands.end()) {
    prepareStateDirectory(ctx);
    ctx.out << "Unknown subcommand: " << name << "\n" << suggestion(name);
    return 2;
  }
  // Help and the version are answered before any other step: they change
  // nothing, not even the state folder.
  if (asksForHelp(rest)) {
    subcommandHelpText(ctx, shownOn(*row));
    return 0;
  }
  if (row->group != HelpGroup::kHelp && row->group != HelpGroup::kHidden) {
    prepareStateDirectory(ctx);
    if (row->config == ConfigNeed::kLoad && !loadConfig(ctx)) return 1;
    if (row->config == ConfigNeed::kLoad && !driveChoiceAllows(ctx, row->name)) return 1;
  }
  return row->handler(ctx, rest);
}

}  // namespace brimvale::service
