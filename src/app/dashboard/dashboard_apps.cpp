#include "app/dashboard/dashboard_apps.h"

#include <algorithm>
#include <array>
#include <sstream>

#include "app/core/app_log.h"
#include "app/core/app_move_commands.h"
#include "app/core/app_risk_report_command.h"
#include "app/core/apps_command.h"
#include "app/core/line_stream.h"
#include "apps/dock_pins.h"
#include "apps/macho_tool_fallback.h"
#include "common/base/timestamps.h"
#include "platform/bundle_probe.h"

namespace brimvale::app {
namespace {

// The page's actions and the `brimvale apps` action each runs; the two
// answers to a permission review are `apps review ID --approve` and
// `--keep-internal`.
struct PageAction {
  std::string_view page;
  std::string_view command;
};
constexpr std::array<PageAction, 6> kAppActions{{{"move", "move"},
                                                 {"move-back", "move-back"},
                                                 {"offload", "offload"},
                                                 {"restore", "restore"},
                                                 {"review-approve", "review"},
                                                 {"review-keep", "review"}}};

constexpr std::string_view kBadChoice =
    "That list can't be shown: the location, order or category isn't one the catalogue knows. "
    "Nothing was changed; pick one from the page's lists.";
constexpr std::string_view kNoAction =
    "Choose what to do with the app (move, move back, offload, restore or answer its permission "
    "review) and which app. Nothing was changed.";
constexpr std::string_view kNotListed =
    "Only an app the list shows can be inspected here. Nothing was changed; pick one from the "
    "list.";
constexpr std::string_view kAppWorkBusy =
    "An app is already being moved from here. Nothing new was started; its progress is showing on "
    "the apps page.";

// Runs `brimvale apps` with `options`, its lines going to `out` and `err`.
int runApps(const DashboardSources& sources, platform::Platform& base, const AppsOptions& options,
            std::ostream& out, std::ostream& err) {
  const ProcessRunner run = platform::runnerOf(*base.launcher);
  const auto probe = platform::makeHostBundleProbe(run);
  AppsCommandHost host{
      .folders = apps::defaultAppFolders(sources.paths.home),
      .factsCache = sources.paths.state / "app-facts.json",
      .diagnosticsLog = sources.paths.diagnosticsLog,
      .probe = *probe,
      .isRunning = [&base](std::string_view program) { return base.processes->isRunning(program); },
      .classifier = apps::systemClassifierEnvironment(sources.paths.home),
      .dockPreferences = apps::dockPreferencesPath(sources.paths.home),
      .toolFallback = apps::hostMachOToolFallback(run),
      .now = systemClock()(),
      .out = out,
      .err = err,
      .offloadedApps =
          [&sources] {
            AppLog log(sources.paths.root / "brimvale.log", systemClock(), nullptr);
            return apps::OffloadRecordStore(apps::offloadsFolder(sources.paths), log.sink())
                .loadAll();
          },
      .run = run};
  if (options.action == "inspect") return appsInspectCommand(host, options.bundle, true);
  if (isAppMoveAction(options.action)) {
    // The page asked before it posted the action.
    return runAppMoveAction(host, options, sources.paths, sources.computerName, {});
  }
  return appsCommand(host, options);
}

}  // namespace

AppsRoutes::AppsRoutes(const DashboardSources& sources, web::DashboardServer& server)
    : sources_(sources), server_(server), base_(platform::makeHostPlatform()) {
  server_.post("apps/list", [this](const nlohmann::json& body) { return list(body); });
  server_.post("apps/action", [this](const nlohmann::json& body) { return act(body); });
  server_.get("apps/reviews", [this] { return reviews(); });
  server_.post("apps/inspect", [this](const nlohmann::json& body) { return inspect(body); });
}

AppsRoutes::~AppsRoutes() = default;

web::Reply AppsRoutes::list(const nlohmann::json& body) {
  AppsOptions options{.location = web::bodyText(body, "location", "all"),
                      .sort = web::bodyText(body, "sort", "name"),
                      .category = web::bodyText(body, "category"),
                      .hideRunning = web::bodyFlag(body, "hideRunning"),
                      .json = true};
  if (const auto days = body.find("unusedDays"); days != body.end() && days->is_number_integer()) {
    options.unusedDays = std::clamp(days->get<int>(), 0, 36500);
  }
  std::ostringstream out;
  std::ostringstream err;
  if (const int status = runApps(sources_, base_, options, out, err); status != 0) {
    return web::sentenceReply(status == 2 ? 400 : 503,
                              err.str().empty() ? std::string(kBadChoice) : err.str());
  }
  // The category filter offers every category the catalogue knows, and the
  // page explains each tier badge.
  auto listing = nlohmann::json::parse(out.str());
  listing["categories"] = nlohmann::json::array();
  for (const auto& row : apps::kAppCategories) {
    listing["categories"].push_back({{"value", row.raw}, {"title", row.title}});
  }
  listing["tiers"] = nlohmann::json::array();
  for (const auto tier : {apps::RiskTier::kSafe, apps::RiskTier::kCaveat, apps::RiskTier::kOverride,
                          apps::RiskTier::kBlocked}) {
    listing["tiers"].push_back({{"tier", static_cast<int>(tier)},
                                {"badge", apps::tierBadge(tier)},
                                {"meaning", apps::tierMeaning(tier)}});
  }
  return web::jsonReply(listing);
}

web::Reply AppsRoutes::reviews() {
  std::ostringstream out;
  std::ostringstream err;
  if (runApps(sources_, base_, {.action = "review", .json = true}, out, err) != 0) {
    return web::sentenceReply(503, err.str());
  }
  return {.status = 200, .contentType = "application/json", .body = out.str()};
}

web::Reply AppsRoutes::inspect(const nlohmann::json& body) {
  const std::filesystem::path bundle = web::bodyText(body, "target");
  const auto folders = apps::defaultAppFolders(sources_.paths.home).folders;
  if (std::ranges::find(folders, bundle.parent_path()) == folders.end()) {
    return web::sentenceReply(400, std::string(kNotListed));
  }
  std::ostringstream out;
  std::ostringstream err;
  if (runApps(sources_, base_, {.action = "inspect", .bundle = bundle.string()}, out, err) != 0) {
    return web::sentenceReply(404, err.str());
  }
  return {.status = 200, .contentType = "application/json", .body = out.str()};
}

web::Reply AppsRoutes::act(const nlohmann::json& body) {
  const std::string action = web::bodyText(body, "action");
  const std::string target = web::bodyText(body, "target");
  const auto known = std::ranges::find(kAppActions, action, &PageAction::page);
  if (known == kAppActions.end() || target.empty()) {
    return web::sentenceReply(400, std::string(kNoAction));
  }
  // The override comes with one app's own confirmation of its risk.
  const AppsOptions options{.action = std::string(known->command),
                            .bundle = target,
                            .overrideRisk = web::bodyFlag(body, "override"),
                            .approve = action == "review-approve",
                            .keepInternal = action == "review-keep"};
  const bool started = job_.start([this, options, action] {
    auto& events = server_.events();
    const nlohmann::json what{{"action", action}, {"target", options.bundle}};
    events.publish("app-start", what.dump());
    int status = 1;
    {
      LineBuffer outLines([&](const std::string& line) {
        if (!line.empty()) events.publish("app-line", nlohmann::json{{"line", line}}.dump());
      });
      LineBuffer errLines([&](const std::string& line) {
        if (!line.empty()) events.publish("app-problem", nlohmann::json{{"line", line}}.dump());
      });
      std::ostream out(&outLines);
      std::ostream err(&errLines);
      status = runApps(sources_, base_, options, out, err);
    }
    auto done = what;
    done["status"] = status;
    events.publish("app-done", done.dump());
  });
  if (!started) return web::sentenceReply(409, std::string(kAppWorkBusy));
  return web::jsonReply({{"started", true}}, 202);
}

}  // namespace brimvale::app
