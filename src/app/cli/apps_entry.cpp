#include "app/cli/apps_entry.h"

#include <string>
#include <string_view>
#include <vector>

#include "app/cli/confirmation.h"
#include "app/cli/json_option.h"
#include "app/core/app_log.h"
#include "app/core/app_move_commands.h"
#include "app/core/app_risk_report_command.h"
#include "app/core/apps_command.h"
#include "apps/dock_pins.h"
#include "apps/macho_tool_fallback.h"

namespace brimvale::app {
namespace {

struct AppsEntryOptions {
  AppsOptions apps;
  bool json = false;
  ConfirmFlags confirm;  // move, move-back, offload, restore ID, review ID --approve
};

void options(CLI::App& sub, AppsEntryOptions& o) {
  jsonOption(sub, o.json);
  confirmFlags(sub, o.confirm, "move, move back, offload, restore or approve a review");
  sub.add_option("action", o.apps.action,
                 "inspect PATH: the full risk inspection of one app bundle; move NAME|PATH, "
                 "move-back ID, moved, offload NAME|PATH, restore [ID], reinstalls, review [ID]")
      ->check(CLI::IsMember(
          {"inspect", "move", "move-back", "moved", "offload", "restore", "reinstalls", "review"}));
  sub.add_option("path", o.apps.bundle,
                 "the app bundle to inspect, e.g. /Applications/X.app; the app (name or path) or "
                 "record id an action names");
  sub.add_flag("--override", o.apps.overrideRisk,
               "apps move: move an app with a known risk (tier 3) anyway");
  sub.add_flag("--sweep", o.apps.sweep,
               "apps reinstalls: look for reinstalled apps now and move them to the drive again");
  sub.add_flag("--approve", o.apps.approve,
               "apps review ID: allow the new permissions and move the app to the drive again");
  sub.add_flag("--keep-internal", o.apps.keepInternal,
               "apps review ID: keep the reinstalled app on the internal disk");
  sub.add_option("--location", o.apps.location, "all, internal, moved or offloaded")
      ->check(CLI::IsMember({"all", "internal", "moved", "offloaded"}))
      ->capture_default_str();
  sub.add_option("--sort", o.apps.sort, "name, last-used (longest unused first), size or safety")
      ->check(CLI::IsMember({"name", "last-used", "size", "safety"}))
      ->capture_default_str();
  sub.add_option("--unused-days", o.apps.unusedDays,
                 "only apps not opened for at least this many days (0: any age)")
      ->check(CLI::Range(0, apps::kMaxUnusedDays))
      ->capture_default_str();
  std::vector<std::string> categories;
  for (const auto& row : apps::kAppCategories) categories.emplace_back(row.raw);
  sub.add_option("--category", o.apps.category, "only apps of this category, e.g. games")
      ->check(CLI::IsMember(categories));
  sub.add_flag("--hide-running", o.apps.hideRunning,
               "Don't show apps that are currently open. Running apps can't be moved anyway, so "
               "this just cleans up the list.");
}

int appsHandler(CommandContext& c, AppsEntryOptions& o) {
  if (o.apps.action == "inspect" && o.apps.bundle.empty()) {
    c.err << "Name the app bundle to inspect, e.g. `brimvale apps inspect "
             "/Applications/Example.app`. Nothing was changed.\n";
    return 2;
  }
  const ProcessRunner run = platform::runnerOf(*c.base.launcher);
  const auto probe = platform::makeHostBundleProbe(run);
  AppsCommandHost host{
      .folders = apps::defaultAppFolders(c.paths.home),
      .factsCache = c.paths.state / "app-facts.json",
      .diagnosticsLog = c.paths.diagnosticsLog,
      .probe = *probe,
      .isRunning = [&c](std::string_view program) { return c.base.processes->isRunning(program); },
      .classifier = apps::systemClassifierEnvironment(c.paths.home),
      .dockPreferences = apps::dockPreferencesPath(c.paths.home),
      .toolFallback = apps::hostMachOToolFallback(run),
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
          },
      .run = run};
  if (o.apps.action == "inspect") return appsInspectCommand(host, o.apps.bundle, o.json);
  o.apps.json = o.json;
  if (isAppMoveAction(o.apps.action)) {
    return runAppMoveAction(host, o.apps, c.paths, c.base.host->computerName(),
                            confirmationHere(c, o.confirm));
  }
  return appsCommand(host, o.apps);
}

}  // namespace

CommandEntry appsEntry() {
  return commandEntry<AppsEntryOptions>(
      "apps",
      "the installed apps with their risk tier, size, last use and the tier's reason "
      "(--location, --sort, --unused-days N, --category C, --hide-running, --json); "
      "`apps inspect PATH` shows everything the inspection of one app found; `apps move "
      "NAME|PATH [--override]`, `apps move-back ID`, `apps moved`, `apps offload "
      "NAME|PATH`, `apps restore [ID]` (these four ask first: --yes, --dry-run), `apps reinstalls "
      "[--sweep]`, `apps review [ID] "
      "[--approve|--keep-internal]`",
      options, appsHandler);
}

}  // namespace brimvale::app
