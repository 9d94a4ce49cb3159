#include "app/commands.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include "app/app_move_commands.h"
#include "app/app_risk_report_command.h"
#include "app/application.h"
#include "app/apps_command.h"
#include "app/autosync_command.h"
#include "app/care_commands.h"
#include "app/cleanup_old_command.h"
#include "app/discover_command.h"
#include "app/drive_transfer_command.h"
#include "app/history_command.h"
#include "app/junk_command.h"
#include "app/mover_commands.h"
#include "app/open_command.h"
#include "relocated/panic_recovery.h"
#include "app/parked_command.h"
#include "app/preflight.h"
#include "app/prep_drive_command.h"
#include "app/relocate_command.h"
#include "app/relocated_command.h"
#include "app/remote_add.h"
#include "app/remotes_command.h"
#include "app/secret_prompt.h"
#include "app/self_check.h"
#include "app/service_view_command.h"
#include "app/settings_command.h"
#include "app/state_json.h"
#include "app/status_reader.h"
#include "app/status_refresh.h"
#include "app/status_text.h"
#include "app/stop_command.h"
#include "app/transfers_command.h"
#include "app/uninstall_command.h"
#include "app/usage_errors.h"
#include "apps/dock_pins.h"
#include "apps/macho_tool_fallback.h"
#include "cloud/pepper_store.h"
#include "cloud/rclone_auth.h"
#include "cloud/rclone_locator.h"
#include "common/base/file_calls.h"
#include "common/base/stale_temporaries.h"
#include "common/base/version.h"
#include "common/state/config_keys.h"
#include "common/state/configured_drive.h"
#include "common/state/gnu_rsync.h"
#include "common/state/parked_names.h"
#include "common/state/service_config.h"
#include "common/state/usage_history.h"
#include "platform/byte_count_format.h"
#include "snapshots/snapshot_manager.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

constexpr int kDefaultServiceLimitSecs = 120;
constexpr std::int64_t kDefaultWatchTickSecs = 30;
constexpr std::chrono::seconds kStatusRefreshLimit{30};

// What every subcommand works with, built once per invocation.
struct Context {
  StatePaths paths = StatePaths::forHome(homeFolder());
  platform::Platform base = platform::makeHostPlatform();
  platform::AppPlatform host;  // built once the subcommand is known
  fs::path scripts;
  std::string snapshotTool = snapshots::defaultSnapshotToolPath();
  int limitSecs = kDefaultServiceLimitSecs;
  std::vector<std::string> arguments;  // the subcommand's positional arguments
  // remotes add TYPE NAME --key value ...
  std::map<std::string, std::string> remoteAddOptions;
  bool remotesYes = false;  // remotes remove|browse ... --yes
  bool planOnly = false;
  // move FOLDER [--to DIR] [--policy P] [--no-links] [--verify L] [--yes] [--dry-run]
  // [--allow-root DIR]...
  MoveOptions move;
  std::string movesAction;           // moves [cancel|revert|clear|resume]
  std::string moveId;                // moves ACTION ID, move-log [ID]
  bool json = false;                 // --json on the commands that show state
  bool verbose = false;              // move-log --verbose: every line, not only the phases
  bool careList = false;             // care --list
  bool wait = false;                 // drive-transfer status --wait
  HistoryOptions history;            // history [--days N] [--svg FILE]
  relocated::PanicOptions panic;                // panic-recovery [--yes] [--dry-run]
  CleanupOldOptions cleanupOld;      // cleanup-old [--yes] [--dry-run]
  std::vector<std::string> folders;  // relocate FOLDER...
  PrepDriveOptions prepDrive;  // prep-drive [--auto] [--dry-run] [--allow-other-computer] [DRIVE]

  // relocated [move-back ID|delete ID|scan] [--yes] [--overwrite]
  RelocatedOptions relocated;
  UninstallOptions uninstall;
  AppsOptions apps;  // apps [--location L] [--sort S] [--unused-days N] [--category C] ...
  TransfersOptions transfers;  // transfers [list|new SRC DST|cancel ID|history] ...
  JunkOptions junk;            // junk [list|add TEXT|note|pin ID|...] ...
  AutoSyncOptions autosync;    // autosync [list|add FOLDER DEST|enable|disable|remove|scan ID]
  bool noBrowser = false;      // open --no-browser
  std::ostream& out;
  std::ostream& err;

  Context(std::ostream& o, std::ostream& e) : out(o), err(e) {}

  InstallerOptions installerOptions() {
    InstallerOptions options;
    options.scriptsFolder = scripts;
    const char* env = std::getenv("RSYNC");
    options.rsyncPath = resolveGnuRsync(env ? env : "", base.rsync->candidates());
#if defined(__APPLE__)
    options.launchctl = "/bin/launchctl";
#endif
    return options;
  }
};

// The folder holding the service programs: "Scripts" beside this program.
fs::path defaultScriptsFolder() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (ec ? fs::current_path(ec) : self.parent_path()) / "Scripts";
}

int runCommand(Context& c) {
  // Lets `brimvale stop` and `brimvale uninstall` find this process.
  const auto mark = RunningAppMark::take(c.paths);
  RunLoop loop;
  AppLog log(c.paths.root / "brimvale.log", systemClock(), &c.out);
  Application application(c.paths, c.host, c.installerOptions(), loop, log,
                          c.base.host->computerName(), *c.base.mounts, *c.base.volumes);
  return application.run();
}

int installCommand(Context& c) {
  ServiceInstaller installer(c.paths, c.installerOptions(), *c.host.services,
                             [&](const std::string& line) { c.out << line << "\n"; });
  return installer.install() ? 0 : 1;
}

int selfCheckCommand(Context& c) {
  InstallerOptions options = c.installerOptions();
  ServiceInstaller installer(c.paths, options, *c.host.services,
                             [&](const std::string& line) { c.out << line << "\n"; });
  SelfCheck check(c.paths, options.scriptsFolder, installer, *c.host.services, systemClock());
  SelfCheckReport report = check.run();
  c.out << report.text();
  return report.needsAttention() ? 1 : 0;
}

// One watch tick as configured; the service's default when the configuration can't be read.
std::int64_t watchTickSecs(const Context& c) {
  auto config = loadServiceConfig(c.paths, "");
  return config ? config->getInt(config_keys::kWatchIntervalSecs) : kDefaultWatchTickSecs;
}

int statusCommand(Context& c) {
  platform::ServiceJobState job = c.host.services->state();
  const auto refreshed =
      refreshWhenStale(writtenAt(c.paths.statusJson), std::time(nullptr), watchTickSecs(c), [&] {
        return runServiceCommand(c.paths, c.installerOptions().rsyncPath, {"json"},
                                 kStatusRefreshLimit)
            .succeeded();
      });
  if (c.json) {
    // Standard output stays JSON; the note goes beside it.
    if (refreshed) c.err << *refreshed << "\n";
    auto status = readStatus(c.paths.statusJson);
    if (!status) {
      c.err << status.error().message() << "\n";
      return 1;
    }
    c.out << statusJson(job, *status);
    return 0;
  }
  c.out << "Background service: "
        << (job.pid      ? "running (pid " + std::to_string(*job.pid) + ")"
            : job.loaded ? std::string("loaded, not running")
                         : std::string("not running"))
        << "\n";
  if (refreshed) c.out << *refreshed << "\n";
  auto status = readStatus(c.paths.statusJson);
  if (!status) {
    c.err << status.error().message() << "\n";
    return 1;
  }
  c.out << describeStatus(*status);
  return 0;
}

int jobsCommand(Context& c) {
  transfers::BackgroundJobsStore ledger(c.paths.state, systemClock());
  const auto latest = transfers::latestPerKind(ledger.readJobs());
  const auto issues = ledger.readIssues();
  if (c.json) {
    c.out << jobsJson(latest, issues);
    return 0;
  }
  for (const auto& info : transfers::jobKinds()) {
    c.out << info.raw << " — " << info.description << "\n";
    auto job = std::find_if(latest.begin(), latest.end(),
                            [&](const auto& j) { return j.kind == info.kind; });
    if (job == latest.end()) {
      c.out << "  has not run yet\n";
      continue;
    }
    c.out << "  last run " << job->lastRunAt << ": " << transfers::jobOutcomeRaw(job->lastOutcome)
          << " — " << job->lastSummary << "\n"
          << "  runs " << job->totalRuns << ", succeeded " << job->succeeded << ", failed "
          << job->failed << ", items " << job->itemsHandled << ", "
          << platform::formatFileByteCount(job->bytesHandled) << "\n";
    for (const auto& issue : issues) {
      if (issue.feature != info.raw) continue;
      c.out << "  issue (seen " << issue.count << "× since " << issue.firstSeen
            << "): " << issue.message << "\n";
    }
  }
  return 0;
}

int notificationsCommand(Context& c) {
  auto delivered =
      platform::readDeliveredNotifications(c.paths.state / kDeliveredNotificationsFile);
  if (!delivered) {
    c.err << delivered.error().message() << "\n";
    return 1;
  }
  if (c.json) {
    c.out << notificationsJson(*delivered);
    return 0;
  }
  if (delivered->empty()) {
    c.out << "No notifications are showing.\n";
    return 0;
  }
  for (const auto& n : *delivered) {
    c.out << n.request.title << "\n";
    if (!n.request.subtitle.empty()) c.out << "  " << n.request.subtitle << "\n";
    c.out << "  " << n.request.body << "\n"
          << "  id " << n.request.identifier << " · "
          << platform::interruptionLevelName(n.request.level) << " · sound " << n.request.sound
          << " · delivered " << n.deliveredAt << "\n";
  }
  return 0;
}

int serviceCommand(Context& c) {
  ProcessResult r = runServiceCommand(c.paths, c.installerOptions().rsyncPath, c.arguments,
                                      std::chrono::seconds(c.limitSecs));
  c.out << r.out;
  c.err << r.err;
  if (r.outcome == ProcessOutcome::kExited) return r.exitCode;
  c.err << serviceRunFailure(r);
  return 1;
}

ViewCommandHost viewHost(Context& c) {
  return {.service =
              [&c](const std::vector<std::string>& args) {
                return runServiceCommand(c.paths, c.installerOptions().rsyncPath, args,
                                         std::chrono::seconds(c.limitSecs));
              },
          .json = c.json,
          .terminal = isatty(STDOUT_FILENO) == 1,
          .out = c.out,
          .err = c.err};
}

int drivesHandler(Context& c) {
  ViewCommandHost host = viewHost(c);
  return drivesViewCommand(host, c.arguments);
}

int scanHandler(Context& c) {
  ViewCommandHost host = viewHost(c);
  return scanViewCommand(host, c.arguments);
}

int driveTransferHandler(Context& c) {
  ViewCommandHost view = viewHost(c);
  const std::string rsync = c.installerOptions().rsyncPath;
  DriveTransferHost host{
      .view = view,
      .paths = c.paths,
      .runSwitch =
          [&](const std::function<void(std::string_view)>& show) {
            return switchToNewDrive(c.paths, rsync, show);
          },
      .output = &c.out == &std::cout ? outputKindOf(STDOUT_FILENO) : OutputKind::kPlain,
      .wait = c.wait,
      .pause = [] { std::this_thread::sleep_for(std::chrono::seconds(1)); }};
  return driveTransferCommand(host, c.arguments);
}

void driveTransferOptions(CLI::App& sub, Context& c) {
  sub.add_option("request", c.arguments,
                 "check DEST | start [backup|transfer] DEST | status | pause | resume | cancel");
  sub.add_flag("--wait", c.wait,
               "with status: follow the job to its end, switching to the new drive once a "
               "transfer's copy is verified");
  sub.add_flag("--json", c.json, "print the service's JSON answer unchanged");
  sub.add_option("--timeout", c.limitSecs, "seconds before the service command is stopped")
      ->capture_default_str();
}

// The views over the service's answers: --json passes the answer through, and the service's
// time limit applies as in `brimvale service`.
void viewOptions(CLI::App& sub, Context& c) {
  sub.add_option("request", c.arguments, "what to show");
  sub.add_flag("--json", c.json, "print the service's JSON answer unchanged");
  sub.add_option("--timeout", c.limitSecs, "seconds before the service command is stopped")
      ->capture_default_str();
}

CareCommandHost careHost(Context& c) {
  return {c.paths, c.host, c.installerOptions().rsyncPath, c.snapshotTool, c.out, c.err};
}

// --json shows state, so it goes with the lists alone; an action given with it is refused
// before anything changes.
int jsonRefused(Context& c, const std::string& goesWith, const std::string& given) {
  c.err << "--json goes with " << goesWith << ", not with \"" << given
        << "\". Nothing was changed.\n";
  return 2;
}

int snapshotsHandler(Context& c) {
  if (c.json && !c.arguments.empty() && c.arguments[0] != "list") {
    return jsonRefused(c, "the list alone (`brimvale snapshots --json`)", c.arguments[0]);
  }
  CareCommandHost host = careHost(c);
  host.json = c.json;
  return snapshotsCommand(host, c.arguments);
}

int homeHandler(Context& c) {
  CareCommandHost host = careHost(c);
  host.json = c.json;
  return homeCommand(host);
}

int careHandler(Context& c) {
  if (c.planOnly && c.careList) {
    c.err << "Choose either --plan or --list, not both. Nothing was changed.\n";
    return 2;
  }
  if (c.json && !c.planOnly && !c.careList) {
    c.err << "--json shows the plan or the list, so it needs --plan or --list: `brimvale care "
             "--plan --json`. Nothing was changed.\n";
    return 2;
  }
  if (!fs::exists(c.paths.serviceProgram)) {
    c.err << "Brimvale isn't installed yet, so Zozad Evev didn't run. Nothing was changed; run "
             "`brimvale install` first, then try again.\n";
    return 1;
  }
  CareCommandHost host = careHost(c);
  host.json = c.json;
  return careCommand(host, c.careList   ? CareMode::kList
                           : c.planOnly ? CareMode::kPlanOnly
                                        : CareMode::kRun);
}

int parkedHandler(Context& c) {
  ParkedCommandHost host{c.paths, c.out, c.err};
  return parkedCommand(host, c.arguments, c.json ? ParkedOutput::kJson : ParkedOutput::kText);
}

void jsonOption(CLI::App& sub, Context& c) {
  sub.add_flag("--json", c.json, "print JSON with stable keys (see docs/json-schemas.md)");
}

// Set by Ctrl-C or SIGTERM while a transfer runs in the foreground.
std::atomic<bool> transferInterrupted{false};

int transfersHandler(Context& c) {
  c.transfers.json = c.json;
  TransfersCommandContext tc{.jobsFile = c.paths.root / "sync" / "jobs.json",
                             .stateDir = c.paths.state,
                             .rclone = cloud::locateRclone(cloud::defaultRcloneSearch()),
                             .out = c.out,
                             .err = c.err,
                             .interrupted = &transferInterrupted};
  setTransferPlaces(tc, c.paths, *c.base.mounts, c.base.host->computerName());
  if (&c.out == &std::cout) tc.output = outputKindOf(STDOUT_FILENO);
  cloud::PairHistory pairs(cloud::PairHistoryFiles::inStateFolder(c.paths.state),
                           cloud::hostFingerprint(), std::nullopt);
  tc.pairs = &pairs;
  struct sigaction stop {};
  stop.sa_handler = [](int) { transferInterrupted = true; };
  sigemptyset(&stop.sa_mask);
  struct sigaction oldInt {
  }, oldTerm{};
  sigaction(SIGINT, &stop, &oldInt);
  sigaction(SIGTERM, &stop, &oldTerm);
  const int status = transfersCommand(tc, c.transfers);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return status;
}

int junkHandler(Context& c) {
  JunkCommandContext jc{.stateDir = c.paths.state,
                        .defaults = *c.host.defaults,
                        .in = std::cin,
                        .out = c.out,
                        .err = c.err,
                        .inIsTerminal = isatty(STDIN_FILENO) == 1};
  return junkCommand(jc, c.junk);
}

void junkOptions(CLI::App& sub, Context& c) { addJunkOptions(sub, c.junk); }

int pairsHandler(Context& c) {
  cloud::PairHistory pairs(cloud::PairHistoryFiles::inStateFolder(c.paths.state),
                           cloud::hostFingerprint(), std::nullopt);
  return pairsCommand(pairs, c.out, c.err, c.json);
}

int remotesHandler(Context& c) {
  const auto location = cloud::vaultLocation(*c.host.defaults, homeFolder());
  const auto pepper = cloud::makeHostPepperStore(location.secretsDir);
  cloud::SecretVault vault(location, *pepper, cloud::hostFingerprint().text);
  cloud::RemoteMetadataStore details(cloud::MetadataFiles::inStateFolder(c.paths.state),
                                     cloud::hostFingerprint(), std::nullopt);
  RemotesCommandContext rc{.rclone = cloud::locateRclone(cloud::defaultRcloneSearch()),
                           .out = c.out,
                           .err = c.err,
                           .vault = &vault,
                           .details = &details,
                           .addOptions = c.remoteAddOptions,
                           .askSecret = [&c](const std::string& prompt) {
                             return readSecret(STDIN_FILENO, prompt, c.err);
                           }};
  rc.in = &std::cin;
  rc.interactive = isatty(STDIN_FILENO) == 1;
  rc.yes = c.remotesYes;
  return remotesCommand(rc, c.arguments, c.json);
}

void remotesOptions(CLI::App& sub, Context& c) {
  sub.add_option("request", c.arguments,
                 "list (default) | types | add TYPE NAME | test NAME | remove NAME | browse "
                 "NAME:PATH [new-folder|delete] | vault-reset");
  declareRemoteAddOptions(sub, c.remoteAddOptions);
  sub.add_flag("-y,--yes", c.remotesYes, "remove, or browse ... delete, without asking first");
  jsonOption(sub, c);
}

void transfersOptions(CLI::App& sub, Context& c) {
  sub.add_option("action", c.transfers.action,
                 "list (default), new, pause, resume, cancel, watch, schedule or history")
      ->check(CLI::IsMember(
          {"list", "new", "pause", "resume", "cancel", "watch", "schedule", "history"}));
  sub.add_option("words", c.transfers.words,
                 "new: SOURCE DESTINATION; pause, resume, cancel, watch: ID; schedule: ID "
                 "manual|hourly N|daily HH:MM|weekly DAY HH:MM|monthly DAY HH:MM");
  sub.add_option("--mode", c.transfers.mode, "new: copy (default), move, sync or bisync")
      ->check(CLI::IsMember({"copy", "move", "sync", "bisync"}));
  sub.add_flag("--dry-run", c.transfers.dryRun, "new: show what would be transferred");
  sub.add_flag("--resync", c.transfers.resync,
               "new, bisync only: the first run for this pair, to establish a baseline");
  sub.add_option("--bwlimit", c.transfers.bandwidthLimit,
                 "new: a bandwidth limit such as 10M (10 MB/s) or 100k (100 KB/s)");
  jsonOption(sub, c);
}

void parkedOptions(CLI::App& sub, Context& c) {
  sub.add_option("request", c.arguments, "list | confirm PATH");
  sub.add_flag("--json", c.json, "print JSON with stable keys");
}

void serviceOptions(CLI::App& sub, Context& c) {
  sub.add_option("--timeout", c.limitSecs, "seconds before the command is stopped")
      ->capture_default_str();
  sub.add_option("arguments", c.arguments, "the brim-vale subcommand to run, and its arguments")
      ->required();
  // Every word after the subcommand's name is brim-vale's, "-h" and "--help"
  // included: `brimvale service pause --help` shows brim-vale's help on pause.
  sub.positionals_at_end();
}

void snapshotsOptions(CLI::App& sub, Context& c) {
  sub.add_option("request", c.arguments, "list | delete STAMP | thin BYTES URGENCY | destination");
  jsonOption(sub, c);
}

void careOptions(CLI::App& sub, Context& c) {
  sub.add_flag("--plan", c.planOnly, "show what the clean-up would do, changing nothing");
  sub.add_flag("--list", c.careList, "what the last clean-up removed: each item's path and size");
  jsonOption(sub, c);
}

MoverCommandContext moverContext(Context& c) {
  MoverCommandContext mc{
      c.paths, c.host,   c.base.mounts.get(),      c.base.host->computerName(), c.out,
      c.err,   std::cin, isatty(STDIN_FILENO) == 1};
  mc.snapshotTool = c.snapshotTool;
  mc.launcher = c.base.launcher.get();
  if (&c.out == &std::cout) mc.output = outputKindOf(STDOUT_FILENO);
  return mc;
}

int moveFolderCommand(Context& c) {
  if (c.move.quitApps && c.move.continueAnyway) {
    c.err << "Choose either --quit-apps or --continue, not both. Nothing was moved.\n";
    return 2;
  }
  auto mc = moverContext(c);
  return moveCommand(mc, c.move);
}

int listMovesCommand(Context& c) {
  auto mc = moverContext(c);
  if (c.json) {
    if (!c.movesAction.empty()) {
      return jsonRefused(c, "the list alone (`brimvale moves --json`)", c.movesAction);
    }
    return movesJsonCommand(mc);
  }
  return movesCommand(mc, c.movesAction, c.moveId, c.move.allowedRoots);
}

int showMoveLogCommand(Context& c) {
  auto mc = moverContext(c);
  return moveLogCommand(
      mc, c.moveId,
      c.verbose ? mover::MoverLogDetail::kEverything : mover::MoverLogDetail::kPhases);
}

int autosyncHandler(Context& c) {
  c.autosync.json = c.json;
  auto mc = moverContext(c);
  AppLog log(c.paths.root / "brimvale.log", systemClock(), nullptr);
  AutoSyncCommandContext ac{
      .mover = mc,
      .isOpen = [&c](const std::string& p) { return c.base.files->isOpen(p); },
      .log = [&log](const std::string& line) { log.write(line); }};
  return autosyncCommand(ac, c.autosync);
}

void autosyncOptions(CLI::App& sub, Context& c) {
  sub.add_option("action", c.autosync.action,
                 "list (default), add, enable, disable, remove or scan")
      ->check(CLI::IsMember({"list", "add", "enable", "disable", "remove", "scan"}));
  sub.add_option("words", c.autosync.words, "add: FOLDER DEST_PARENT; the others: ID");
  sub.add_option("--exclude", c.autosync.excludes,
                 "add: a shell-style name pattern to leave where it is (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  jsonOption(sub, c);
}

void allowRootOption(CLI::App& sub, Context& c) {
  sub.add_option("--allow-root", c.move.allowedRoots,
                 "a folder outside your home folder whose contents may be moved (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void moveOptions(CLI::App& sub, Context& c) {
  sub.add_option("folder", c.move.folder, "the folder to relocate")->required();
  sub.add_option("--to", c.move.to,
                 "the folder on the drive, inside Brimvale's folder there, that receives the copy");
  sub.add_option("--policy", c.move.policy,
                 "what happens to a copy already there: merge (default), override or "
                 "merge-keep-newer");
  sub.add_flag("--no-links", c.move.noLinks,
               "move without leaving links: the original goes once its copy is verified");
  sub.add_option("--verify", c.move.verify, "verification for this run")
      ->check(CLI::IsMember({"fast", "thorough", "off"}));
  sub.add_flag("-y,--yes", c.move.yes, "move without asking first");
  sub.add_flag("--dry-run", c.move.dryRun, "show what would move, changing nothing");
  sub.add_flag("--quit-apps", c.move.quitApps,
               "ask the apps using files in the folder to quit first");
  sub.add_flag("--continue", c.move.continueAnyway,
               "move even while apps use files in the folder, without asking");
  allowRootOption(sub, c);
  sub.add_flag("--bypass-recent-write-guard", c.move.bypassRecentWriteGuard,
               "move even if files in the folder changed recently (this run only)");
}

void movesOptions(CLI::App& sub, Context& c) {
  sub.add_option("action", c.movesAction, "cancel, revert, clear or resume")
      ->check(CLI::IsMember({"cancel", "revert", "clear", "resume"}));
  sub.add_option("id", c.moveId, "the move's id (a unique prefix is enough)");
  sub.add_flag("--json", c.json, "the list as JSON: one record per move, newest first");
  allowRootOption(sub, c);
}

void moveLogOptions(CLI::App& sub, Context& c) {
  sub.add_option("id", c.moveId, "only the lines of this move (id prefix)");
  sub.add_flag("--verbose", c.verbose, "every line, copy-tool output included, not only phases");
}

int settingsHandler(Context& c) {
  SettingsCommandContext sc{c.paths.config, *c.host.defaults, c.out, c.err};
  return settingsCommand(sc, c.arguments, c.json ? SettingsFormat::kJson : SettingsFormat::kText);
}

void settingsOptions(CLI::App& sub, Context& c) {
  sub.add_option("words", c.arguments, "NAME to show one setting, NAME VALUE to change it");
  sub.add_flag("--json", c.json, "print as JSON");
  sub.footer(settingsNames());
}

int historyHandler(Context& c) {
  c.history.json = c.json;
  HistoryCommandHost host{c.paths.state / kUsageHistoryFile, std::time(nullptr),
                          terminalFromEnvironment(std::getenv), c.out, c.err};
  return historyCommand(host, c.history);
}

void historyOptions(CLI::App& sub, Context& c) {
  sub.add_option("--days", c.history.days, "only the last N days");
  sub.add_option("--svg", c.history.svgFile, "write the chart as an SVG image to FILE");
  sub.add_flag("--json", c.json, "the bucketed series as JSON");
}

int relocatedHandler(Context& c) {
  if (c.json && !c.relocated.action.empty()) {
    return jsonRefused(c, "the list alone (`brimvale relocated --json`)", c.relocated.action);
  }
  c.relocated.json = c.json;
  auto mc = moverContext(c);
  return relocatedCommand(mc, c.relocated);
}

void relocatedOptions(CLI::App& sub, Context& c) {
  sub.add_option("action", c.relocated.action, "move-back ID, delete ID or scan")
      ->check(CLI::IsMember({"move-back", "delete", "scan"}));
  sub.add_option("id", c.relocated.id, "the relocated folder's id (a unique prefix is enough)");
  sub.add_flag("-y,--yes", c.relocated.yes, "move back without asking first");
  sub.add_flag("--overwrite", c.relocated.overwrite,
               "move back: the drive's copy replaces newer files of the same name on the internal "
               "disk (files only there are kept)");
  sub.add_flag("--json", c.json, "the list as JSON (see docs/json-schemas.md)");
}

int stopHandler(Context& c) { return stopCommand(c.paths, *c.host.services, c.out, c.err); }

int panicRecoveryHandler(Context& c);

int uninstallHandler(Context& c) {
  ServiceInstaller installer(c.paths, c.installerOptions(), *c.host.services,
                             [&](const std::string& line) { c.out << line << "\n"; });
  UninstallHost host{
      c.paths, installer, *c.host.services, std::cin, isatty(STDIN_FILENO) == 1, c.out, c.err, {}};
  host.bringEverythingHome = [&c] {
    c.panic.yes = true;  // the uninstall's own question was the consent
    return panicRecoveryHandler(c);
  };
  host.computerName = c.base.host->computerName();
  host.isMounted = [mounts = c.base.mounts.get()](const fs::path& p) {
    return mounts->isMountedAt(p.string());
  };
  return uninstallCommand(host, c.uninstall);
}

void uninstallOptions(CLI::App& sub, Context& c) {
  sub.add_flag("--purge", c.uninstall.purge,
               "also remove ~/.brimvale: your settings, history and Brimvale's records");
  sub.add_flag("-y,--yes", c.uninstall.yes, "uninstall without asking first");
  sub.add_flag("--leave-relocated", c.uninstall.leaveRelocated,
               "uninstall even while folders are relocated; their links keep working while the "
               "drive is attached");
}

int panicRecoveryHandler(Context& c) {
  // Without the drive's path no link into it can be told apart, so nothing could be checked.
  const auto drive = configuredDrive(c.paths);
  if (!drive) {
    c.err << driveUnknownMessage(drive.error(), c.paths) << "\n";
    return 1;
  }
  auto mc = moverContext(c);
  relocated::StagedHomecoming homecoming(
      c.paths, c.installerOptions().rsyncPath,
      {.cancel = [&mc](const std::string& id) { return movesCommand(mc, "cancel", id) == 0; },
       .resume = [&mc] { return movesCommand(mc, "resume", "") == 0; }});
  AppLog log(c.paths.root / "brimvale.log", systemClock(), nullptr);
  relocated::EngineAppHomecoming apps(c.paths, c.base.host->computerName(), log.sink());
  relocated::PanicHost host{c.paths,
                 {workingFolderFor(*drive, c.base.host->computerName())},
                 homecoming,
                 apps,
                 c.installerOptions().rsyncPath,
                 [&](const fs::path& p) -> std::optional<std::uint64_t> {
                   const auto free = c.host.volumes->read(p.string()).availableCapacity;
                   if (!free || *free < 0) return std::nullopt;
                   return static_cast<std::uint64_t>(*free);
                 },
                 c.out,
                 c.err,
                 std::cin,
                 isatty(STDIN_FILENO) == 1};
  return relocated::panicRecoveryCommand(host, c.panic);
}

void panicRecoveryOptions(CLI::App& sub, Context& c) {
  sub.add_flag("-y,--yes", c.panic.yes, "bring everything home without asking first");
  sub.add_flag("--dry-run", c.panic.dryRun, "show what would come home, changing nothing");
}

int cleanupOldHandler(Context& c) {
  CleanupOldHost host{c.paths, c.out, c.err, std::cin, isatty(STDIN_FILENO) == 1};
  return cleanupOldCommand(host, c.cleanupOld);
}

void cleanupOldOptions(CLI::App& sub, Context& c) {
  sub.add_flag("-y,--yes", c.cleanupOld.yes, "delete the verified ones without asking first");
  sub.add_flag("--dry-run", c.cleanupOld.dryRun, "only list them, deleting nothing");
}

int preflightHandler(Context& c) {
  PreflightFacts f;
  if (auto drive = configuredDrive(c.paths); drive) {
    f.mount = *drive;
    f.working = workingFolderFor(f.mount, c.base.host->computerName());
    f.mounted = c.base.mounts->isMountedAt(f.mount.string());
    f.laidOut = f.mounted && pathExists(f.working / kMarkerFileName).value_or(false);
    if (const auto free = c.host.volumes->read(f.mount.string()).availableCapacity;
        f.mounted && free && *free >= 0) {
      f.driveFreeBytes = static_cast<std::uint64_t>(*free);
    }
  } else {
    f.driveUnknown = driveUnknownMessage(drive.error(), c.paths);
  }
  f.rsyncPath = c.installerOptions().rsyncPath;
  f.stateProblem = stateFolderProblem(c.paths.state);
  ServiceInstaller installer(c.paths, c.installerOptions(), *c.host.services,
                             [](const std::string&) {});
  f.installed = installer.isInstalled();
  f.running = c.host.services->state().pid.has_value();
  f.parked = findParkedOriginals(c.paths.home).size();
  for (const auto& m : mover::ManifestStore(c.paths.state, {}, systemClock()).all()) {
    if (!mover::isTerminal(m.phase)) ++f.unfinishedMoves;
  }
  const auto checks = preflightChecks(f);
  c.out << renderPreflight(checks);
  return std::all_of(checks.begin(), checks.end(), [](const auto& k) { return k.ok; }) ? 0 : 1;
}

int prepDriveHandler(Context& c) {
  auto drive = configuredDrive(c.paths);
  PrepDriveHost host{c.paths,
                     drive.value_or(fs::path()),
                     drive ? std::string() : driveUnknownMessage(drive.error(), c.paths),
                     c.base.host->computerName(),
                     [&c](const std::vector<std::string>& args) {
                       return runServiceCommand(c.paths, c.installerOptions().rsyncPath, args,
                                                std::chrono::seconds(c.limitSecs));
                     },
                     c.out,
                     c.err,
                     std::cin,
                     isatty(STDIN_FILENO) == 1};
  return prepDriveCommand(host, c.prepDrive);
}

void prepDriveOptions(CLI::App& sub, Context& c) {
  sub.add_option("drive", c.prepDrive.drive, "the drive's mount path (the configured one)");
  sub.add_flag("--auto", c.prepDrive.autoYes, "lay it out without asking first");
  sub.add_flag("--dry-run", c.prepDrive.dryRun, "say what would be laid out, changing nothing");
  sub.add_flag("--allow-other-computer", c.prepDrive.allowOtherComputer,
               "lay out this computer's folder beside another computer's");
}

int relocateHandler(Context& c) {
  if (c.move.quitApps && c.move.continueAnyway) {
    c.err << "Choose either --quit-apps or --continue, not both. Nothing was moved.\n";
    return 2;
  }
  auto mc = moverContext(c);
  return relocateCommand(
      c.folders, c.move, [&mc](const MoveOptions& o) { return moveCommand(mc, o); }, c.out, c.err);
}

void relocateOptions(CLI::App& sub, Context& c) {
  sub.add_option("folders", c.folders, "the folders to relocate, in turn");
  sub.add_flag("-y,--yes", c.move.yes, "move without asking first");
  sub.add_flag("--dry-run", c.move.dryRun, "show what would move, changing nothing");
  sub.add_option("--verify", c.move.verify, "verification for this run")
      ->check(CLI::IsMember({"fast", "thorough", "off"}));
  sub.add_flag("--quit-apps", c.move.quitApps,
               "ask the apps using files in a folder to quit first");
  sub.add_flag("--continue", c.move.continueAnyway,
               "move even while apps use files in a folder, without asking");
  allowRootOption(sub, c);
}

int discoverHandler(Context& c) {
  ViewCommandHost host = viewHost(c);
  return discoverCommand(host);
}

int appsHandler(Context& c) {
  if (c.apps.action == "inspect" && c.apps.bundle.empty()) {
    c.err << "Name the app bundle to inspect, e.g. `brimvale apps inspect "
             "/Applications/Example.app`. Nothing was changed.\n";
    return 2;
  }
  const auto probe = platform::makeHostBundleProbe();
  AppsCommandHost host{
      .folders = apps::defaultAppFolders(c.paths.home),
      .factsCache = c.paths.state / "app-facts.json",
      .diagnosticsLog = c.paths.diagnosticsLog,
      .probe = *probe,
      .isRunning = [&c](std::string_view program) { return c.base.processes->isRunning(program); },
      .classifier = apps::systemClassifierEnvironment(c.paths.home),
      .dockPreferences = apps::dockPreferencesPath(c.paths.home),
      .toolFallback = apps::hostMachOToolFallback(),
      .now = systemClock()(),
      .out = c.out,
      .err = c.err,
      .offloadedApps =
          [&c] {
            return apps::OffloadRecordStore(
                       apps::offloadsFolder(c.paths),
                       [&c](const std::string& line) {
                         AppLog(c.paths.root / "brimvale.log", systemClock(), nullptr).write(line);
                       })
                .loadAll();
          }};
  if (c.apps.action == "inspect") return appsInspectCommand(host, c.apps.bundle, c.json);
  c.apps.json = c.json;
  if (isAppMoveAction(c.apps.action)) {
    return runAppMoveAction(host, c.apps, c.paths, c.base.host->computerName());
  }
  return appsCommand(host, c.apps);
}

void appsOptions(CLI::App& sub, Context& c) {
  jsonOption(sub, c);
  sub.add_option("action", c.apps.action,
                 "inspect PATH: the full risk inspection of one app bundle; move NAME|PATH, "
                 "move-back ID, moved, offload NAME|PATH, restore [ID], reinstalls, review [ID]")
      ->check(CLI::IsMember(
          {"inspect", "move", "move-back", "moved", "offload", "restore", "reinstalls", "review"}));
  sub.add_option("path", c.apps.bundle,
                 "the app bundle to inspect, e.g. /Applications/X.app; the app (name or path) or "
                 "record id an action names");
  sub.add_flag("--override", c.apps.overrideRisk,
               "apps move: move an app with a known risk (tier 3) anyway");
  sub.add_flag("--sweep", c.apps.sweep,
               "apps reinstalls: look for reinstalled apps now and move them to the drive again");
  sub.add_flag("--approve", c.apps.approve,
               "apps review ID: allow the new permissions and move the app to the drive again");
  sub.add_flag("--keep-internal", c.apps.keepInternal,
               "apps review ID: keep the reinstalled app on the internal disk");
  sub.add_option("--location", c.apps.location, "all, internal, moved or offloaded")
      ->check(CLI::IsMember({"all", "internal", "moved", "offloaded"}))
      ->capture_default_str();
  sub.add_option("--sort", c.apps.sort, "name, last-used (longest unused first), size or safety")
      ->check(CLI::IsMember({"name", "last-used", "size", "safety"}))
      ->capture_default_str();
  sub.add_option("--unused-days", c.apps.unusedDays,
                 "only apps not opened for at least this many days (0: any age)")
      ->check(CLI::Range(0, apps::kMaxUnusedDays))
      ->capture_default_str();
  std::vector<std::string> categories;
  for (const auto& row : apps::kAppCategories) categories.emplace_back(row.raw);
  sub.add_option("--category", c.apps.category, "only apps of this category, e.g. games")
      ->check(CLI::IsMember(categories));
  sub.add_flag("--hide-running", c.apps.hideRunning,
               "Don't show apps that are currently open. Running apps can't be moved anyway, so "
               "this just cleans up the list.");
}

int openHandler(Context& c) {
  OpenCommandHost host{c.paths, nullptr, c.out, c.err};
  if (!c.noBrowser) host.openInBrowser = cloud::systemBrowserOpener();
  return openCommand(host);
}

void openOptions(CLI::App& sub, Context& c) {
  sub.add_flag("--no-browser", c.noBrowser,
               "only write the one-time sign-in page and print its path");
}

struct Subcommand {
  const char* name;
  const char* help;
  int (*handler)(Context&);
  void (*options)(CLI::App&, Context&) = nullptr;
};

constexpr std::array kSubcommands{
    Subcommand{"run",
               "run the application: start the service, deliver notifications, watch "
               "free space; stops on Ctrl-C or SIGTERM",
               runCommand},
    Subcommand{"install", "install the background service into ~/.brimvale and start it",
               installCommand},
    Subcommand{"self-check", "audit the service installation and repair what can be repaired",
               selfCheckCommand},
    Subcommand{"status", "the background service's status in plain words", statusCommand,
               jsonOption},
    Subcommand{"jobs", "the background-job ledger, per kind of work", jobsCommand, jsonOption},
    Subcommand{"notifications", "the notifications currently showing", notificationsCommand,
               jsonOption},
    Subcommand{"move",
               "relocate a folder to the fast drive, leaving links behind; asks first "
               "(--yes skips the question, --dry-run only shows the plan, --quit-apps or "
               "--continue settles apps using the folder); Ctrl-C cancels",
               moveFolderCommand, moveOptions},
    Subcommand{"moves",
               "list folder moves; `moves cancel|revert|clear ID` (cancel also stops a move "
               "another Brimvale runs), `moves resume`",
               listMovesCommand, movesOptions},
    Subcommand{"move-log", "the folder mover's log, optionally of one move", showMoveLogCommand,
               moveLogOptions},
    Subcommand{"parked",
               "originals parked beside relocated folders: list them, or `confirm PATH` to "
               "delete one once its copy is verified",
               parkedHandler, parkedOptions},
    Subcommand{"home", "how the startup disk is doing, what to do next, and the trend", homeHandler,
               jsonOption},
    Subcommand{"history",
               "free space over time: a sparkline of the internal disk and the drive "
               "(--days N, --svg FILE for a chart image, --json for the series)",
               historyHandler, historyOptions},
    Subcommand{"care", "Zozad Evev: the one-tap clean-up, step by step, then its summary",
               careHandler, careOptions},
    Subcommand{"snapshots", "local snapshots: list, delete STAMP, thin BYTES URGENCY, destination",
               snapshotsHandler, snapshotsOptions},
    Subcommand{"service", "run one brim-vale subcommand with a time limit", serviceCommand,
               serviceOptions},
    Subcommand{"drives",
               "drives that could hold the relocated folders, with their verdicts; `drives "
               "assess PATH` explains the verdict on one, `drives select PATH` uses it",
               drivesHandler, viewOptions},
    Subcommand{"scan", "what uses the most space in your home folder, largest first", scanHandler,
               viewOptions},
    Subcommand{"drive-transfer",
               "copy everything on the drive to another drive: `check DEST`, `start [backup|"
               "transfer] DEST`, `status [--wait]`, `pause`, `resume`, `cancel`; a transfer "
               "then switches over to the new drive",
               driveTransferHandler, driveTransferOptions},
    Subcommand{"settings",
               "show or change settings: `settings` lists them with values, ranges and meanings; "
               "`settings NAME` shows one; `settings NAME VALUE` changes it",
               settingsHandler, settingsOptions},
    Subcommand{"relocated",
               "folders relocated to the drive and how each stands; `relocated move-back ID` "
               "brings one home, `relocated delete ID` clears away a broken one, `relocated "
               "scan` looks for relocations on the drive",
               relocatedHandler, relocatedOptions},
    Subcommand{"stop", "stop Brimvale: the running application and the background service",
               stopHandler},
    Subcommand{"uninstall",
               "stop Brimvale and remove what `install` put down, keeping ~/.brimvale unless "
               "--purge; refuses while folders are relocated (--leave-relocated goes on anyway)",
               uninstallHandler, uninstallOptions},
    Subcommand{"preflight",
               "everything a first relocation needs, checked, with the fix for each that fails",
               preflightHandler},
    Subcommand{"discover",
               "the drives that could hold relocated folders, and the biggest folders of your "
               "home folder",
               discoverHandler, jsonOption},
    Subcommand{"prep-drive",
               "lay out the drive for Brimvale as the service's `recover` does, refusing a drive "
               "that holds another computer's folder (--auto, --dry-run)",
               prepDriveHandler, prepDriveOptions},
    Subcommand{"relocate",
               "relocate several folders in turn, each as `move` does, stopping at the first "
               "that fails (--yes, --dry-run)",
               relocateHandler, relocateOptions},
    Subcommand{"cleanup-old",
               "parked originals: list them, then delete the ones whose copy holds everything, "
               "each compared byte for byte first (--yes, --dry-run)",
               cleanupOldHandler, cleanupOldOptions},
    Subcommand{"panic-recovery",
               "bring everything home from the drive: parked originals back in place, relocated "
               "folders moved back, the service paused meanwhile (--yes, --dry-run)",
               panicRecoveryHandler, panicRecoveryOptions},
    Subcommand{"apps",
               "the installed apps with their risk tier, size, last use and the tier's reason "
               "(--location, --sort, --unused-days N, --category C, --hide-running, --json); "
               "`apps inspect PATH` shows everything the inspection of one app found; `apps move "
               "NAME|PATH [--override]`, `apps move-back ID`, `apps moved`, `apps offload "
               "NAME|PATH`, `apps restore [ID]`, `apps reinstalls [--sweep]`, `apps review [ID] "
               "[--approve|--keep-internal]`",
               appsHandler, appsOptions},
    Subcommand{"transfers",
               "cloud transfers: `transfers` lists them (--json), `transfers new SRC DST --mode "
               "copy|move|sync|bisync [--dry-run] [--bwlimit X]` runs one here with its progress "
               "(Ctrl-C cancels), `transfers pause ID`, `transfers resume ID`, `transfers cancel "
               "ID`, `transfers watch ID` (a live progress bar, also for a transfer another "
               "window runs), `transfers history`, `transfers schedule ID manual|hourly N|daily "
               "HH:MM|weekly DAY HH:MM|monthly DAY HH:MM`",
               transfersHandler, transfersOptions},
    Subcommand{"remotes",
               "cloud remotes: `remotes` lists them (--json), `remotes types` the kinds rclone can "
               "add, `remotes add TYPE NAME --host H ...` adds one (its secret typed or piped on "
               "standard input, kept in the vault), `remotes test NAME` checks that one answers, "
               "`remotes remove NAME [--yes]`, `remotes browse NAME:PATH` lists a remote folder, "
               "`remotes browse NAME:PATH new-folder` makes one, `remotes browse NAME:PATH "
               "delete [--yes]` deletes one file or empty folder, "
               "`remotes vault-reset` sets aside a credential vault that can no longer be opened",
               remotesHandler, remotesOptions},
    Subcommand{"autosync",
               "watched folders whose settled files move to the fast drive as links: `autosync` "
               "lists them (--json), `autosync add FOLDER DEST_PARENT [--exclude PATTERN]...`, "
               "`autosync enable|disable|remove ID`, `autosync scan ID` moves what is new now",
               autosyncHandler, autosyncOptions},
    Subcommand{"pairs", "the recently used pairs of folders and remotes, pinned first",
               pairsHandler, jsonOption},
    Subcommand{"junk",
               "the Rade Diriv scrap board: `junk list` (--filter F, --date D, --json), `junk add "
               "TEXT` (--ttl T), `junk note` (the note on standard input), `junk pin|unpin|delete "
               "ID`, `junk clear` (--yes), `junk search QUERY` (finds similar wording, not "
               "meaning), `junk settings [KEY VALUE]`",
               junkHandler, junkOptions},
    Subcommand{"open",
               "open the dashboard that `brimvale run` serves in your browser, signed in with a "
               "one-time link (--no-browser prints the sign-in page's path instead)",
               openHandler, openOptions},
};

}  // namespace

bool isBrimvaleCommand(std::string_view name) {
  return std::any_of(kSubcommands.begin(), kSubcommands.end(),
                     [name](const Subcommand& s) { return s.name == name; });
}

std::vector<CommandHelp> brimvaleCommands() {
  std::vector<CommandHelp> rows;
  for (const auto& s : kSubcommands) rows.push_back({s.name, s.help});
  return rows;
}

int runBrimvale(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Context context(out, err);
  CLI::App cli{"brimvale: " + std::string(kBrimvaleSummary)};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", "brimvale " + std::string(kVersion),
                       "print the program's name and version");
  std::string scripts = defaultScriptsFolder().string();
  cli.add_option("--scripts", scripts, "folder holding the service programs to install")
      ->capture_default_str();
  cli.add_option("--snapshot-tool", context.snapshotTool,
                 "the local-snapshot tool (none on this system unless given)");
  int (*chosen)(Context&) = nullptr;
  for (const auto& s : kSubcommands) {
    CLI::App* sub = cli.add_subcommand(s.name, s.help);
    sub->callback([&chosen, &s] { chosen = s.handler; });
    if (s.options) s.options(*sub, context);
  }
  // CLI11 answers -h and --help of any subcommand, whatever words come before
  // them, by throwing from parse(): no handler has run and nothing has been
  // written yet. Words after "--", and an option's value, are taken as they
  // are, as everywhere on the command line: `brimvale move -- --help` names a
  // folder "--help". `service` passes its words on, and brim-vale answers
  // help the same way.
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return reportParseError(cli, e, out, err);
  }
  context.scripts = scripts;
  // A write killed half-way leaves its "{name}.tmp.{pid}"; every start clears those of ended
  // processes.
  if (const auto leftovers = sweepStaleTemporaries(context.paths.root); !leftovers.empty()) {
    AppLog log(context.paths.root / "brimvale.log", systemClock(), nullptr);
    for (const auto& leftover : leftovers) {
      log.write("removed " + leftover.string() + ", left by a write that was interrupted");
    }
  }
  context.host = platform::makeHostAppPlatform(context.paths, context.base,
                                               chosen == runCommand
                                                   ? platform::ServiceOwnership::kEndsWithCaller
                                                   : platform::ServiceOwnership::kOutlivesCaller);
  return chosen(context);
}

}  // namespace brimvale::app
