#include "app/dashboard/dashboard_routes.h"

#include <csignal>
#include <sstream>
#include <streambuf>

#include "app/core/care_commands.h"
#include "app/core/history_report.h"
#include "app/core/history_series.h"
#include "app/core/history_svg.h"
#include "app/core/line_stream.h"
#include "app/core/mover_commands.h"
#include "app/core/state_json.h"
#include "app/core/status_reader.h"
#include "app/dashboard/dashboard_activity.h"
#include "app/dashboard/dashboard_app_moves.h"
#include "app/dashboard/dashboard_apps.h"
#include "app/dashboard/dashboard_autosync.h"
#include "app/dashboard/dashboard_drive_transfer.h"
#include "app/dashboard/dashboard_junk.h"
#include "app/dashboard/dashboard_poller.h"
#include "app/dashboard/dashboard_relocated.h"
#include "app/dashboard/dashboard_rules.h"
#include "app/dashboard/dashboard_settings.h"
#include "app/dashboard/dashboard_storage_scan.h"
#include "app/dashboard/dashboard_transfers.h"
#include "care/care_run.h"
#include "common/base/file_io.h"
#include "common/state/usage_history.h"

namespace brimvale::app {
namespace {

// A chart a year wide at one column per day.
constexpr std::size_t kChartColumns = 365;

constexpr std::string_view kCareBusy =
    "Zozad Evev is already running. Nothing new was started; its steps are showing on the home "
    "page.";
constexpr std::string_view kMoveBusy =
    "A move started here is still running. Nothing new was started; its progress is showing on "
    "the moves page.";
constexpr std::string_view kNothingToCancel =
    "No move started here is running, so there is nothing to cancel. Nothing was changed.";
constexpr std::string_view kNoFolder = "Choose a folder to move first. Nothing was changed.";
constexpr std::string_view kNotInstalled =
    "Brimvale isn't installed yet, so Zozad Evev didn't run. Nothing was changed; run `brimvale "
    "install` first, then try again.";

// Runs `brimvale move` as the command line does, handing on what it prints
// line by line; the page asked before, so nothing is asked here. Its exit
// status.
int runMoveCommand(const DashboardSources& sources, const MoveOptions& options,
                   const std::function<void(const std::string&)>& onLine,
                   const std::function<void(const std::string&)>& onProblem,
                   std::function<void(RunLoop*)> onMoveLoop = {}) {
  LineBuffer outLines(onLine);
  LineBuffer errLines([&](const std::string& line) {
    if (!line.empty()) onProblem(line);
  });
  std::ostream out(&outLines);
  std::ostream err(&errLines);
  std::istringstream noAnswers;
  MoverCommandContext context = moverContextFor(sources, out, err, noAnswers);
  context.onMoveLoop = std::move(onMoveLoop);
  return moveCommand(context, options);
}

}  // namespace

DashboardRoutes::DashboardRoutes(DashboardSources sources, web::DashboardServer& server)
    : sources_(std::move(sources)),
      server_(server),
      policy_(PathPolicy::rootsFor(sources_.paths.home)) {
  server_.get("home", [this] { return home(); });
  server_.post("care", [this](const nlohmann::json& body) { return startCare(body); });
  server_.get("storage", [this] { return storage(); });
  server_.get("care-plan", [this] { return carePlan(); });
  server_.get("care-preview", [this] { return carePreview(); });
  server_.get("history.svg", [this] { return historyChart(); });
  server_.get("moves", [this] { return moves(); });
  server_.post("moves/check", [this](const nlohmann::json& body) { return checkMove(body); });
  server_.post("moves/start", [this](const nlohmann::json& body) { return startMove(body); });
  server_.post("moves/cancel", [this](const nlohmann::json&) { return cancelMove(); });
  poller_ = std::make_unique<StatePoller>(server_.events());
  relocated_ = std::make_unique<RelocatedRoutes>(sources_, server_, *poller_);
  apps_ = std::make_unique<AppsRoutes>(sources_, server_);
  transfers_ = std::make_unique<TransfersRoutes>(sources_, server_);
  autoSync_ = std::make_unique<AutoSyncRoutes>(sources_, server_);
  driveTransfer_ = std::make_unique<DriveTransferRoutes>(sources_, server_, *poller_);
  storageScan_ = std::make_unique<StorageScanRoutes>(sources_, server_);
  appMovePoller_ = std::make_unique<StatePoller>(server_.events(), kAppMoveLookInterval);
  appMoves_ = std::make_unique<AppMoveWatch>(sources_.paths.appMovesFolder, server_.events(),
                                             *appMovePoller_);
  poller_->start();
  appMovePoller_->start();
  addRuleRoutes(server_, sources_.paths, policy_);
  addRulePreviewRoutes(server_, sources_);
  addActivityRoutes(server_, sources_);
  addJunkRoutes(server_, sources_);
  addSettingsRoutes(server_, sources_);
}

DashboardRoutes::~DashboardRoutes() = default;

// The JSON a care command prints, or its sentence when it fails.
web::Reply DashboardRoutes::careJson(const std::function<int(CareCommandHost&)>& command) {
  std::ostringstream out;
  std::ostringstream err;
  CareCommandHost host{
      sources_.paths, sources_.platform, sources_.rsyncPath, sources_.snapshotTool, out, err};
  host.run = platform::runnerOf(sources_.launcher);
  host.json = true;
  if (command(host) != 0) return web::sentenceReply(503, err.str());
  return {.status = 200, .contentType = "application/json", .body = out.str()};
}

web::Reply DashboardRoutes::home() { return careJson(homeCommand); }

web::Reply DashboardRoutes::carePlan() {
  return careJson([](CareCommandHost& host) { return careCommand(host, CareMode::kPlanOnly); });
}

web::Reply DashboardRoutes::carePreview() {
  return careJson([](CareCommandHost& host) { return careCommand(host, CareMode::kPreview); });
}

web::Reply DashboardRoutes::startCare(const nlohmann::json& body) {
  if (!std::filesystem::exists(sources_.paths.serviceProgram)) {
    return web::sentenceReply(409, std::string(kNotInstalled));
  }
  std::filesystem::path previewFile;
  if (const auto items = body.find("items"); items != body.end()) {
    if (!items->is_array()) {
      return web::sentenceReply(400,
                                "The ticked items didn't come as a list, so nothing was "
                                "deleted. Reload the page and preview again.");
    }
    previewFile = sources_.paths.state / "care-dashboard-preview.json";
    if (auto written = writeFileAtomically(previewFile, nlohmann::json{{"items", *items}}.dump());
        !written) {
      return web::sentenceReply(500, "The ticked items couldn't be saved (" +
                                         written.error().message() +
                                         "), so nothing was deleted. Try again.");
    }
  }
  if (!care_.start([this, previewFile] { runCare(previewFile); })) {
    return web::sentenceReply(409, std::string(kCareBusy));
  }
  return web::jsonReply({{"started", true}}, 202);
}

void DashboardRoutes::runCare(const std::filesystem::path& previewFile) {
  auto& events = server_.events();
  events.publish("care-start", "{}");
  int status = 1;
  {
    // The command prints each step's progress line, then a blank line and
    // the summary; its problems go to the error stream.
    bool inSummary = false;
    LineBuffer outLines([&](const std::string& line) {
      if (line.empty()) {
        inSummary = true;
        return;
      }
      events.publish(inSummary ? "care-summary" : "care-step",
                     nlohmann::json{{"line", line}}.dump());
    });
    LineBuffer errLines([&](const std::string& line) {
      if (!line.empty()) events.publish("care-problem", nlohmann::json{{"line", line}}.dump());
    });
    std::ostream out(&outLines);
    std::ostream err(&errLines);
    CareCommandHost host{
        sources_.paths, sources_.platform, sources_.rsyncPath, sources_.snapshotTool, out, err};
    host.run = platform::runnerOf(sources_.launcher);
    host.previewFile = previewFile;
    status = careCommand(host, previewFile.empty() ? CareMode::kRun : CareMode::kFromPreview);
  }
  events.publish("care-done", nlohmann::json{{"status", status}}.dump());
}

web::Reply DashboardRoutes::checkMove(const nlohmann::json& body) {
  const std::string folder = body.value("folder", "");
  if (folder.empty()) return web::sentenceReply(400, std::string(kNoFolder));
  auto allowed = web::allowedPath(policy_, folder);
  if (!allowed) return allowed.error();
  nlohmann::json lines = nlohmann::json::array();
  nlohmann::json problems = nlohmann::json::array();
  const int status = runMoveCommand(
      sources_, {.folder = allowed->string(), .dryRun = true},
      [&](const std::string& line) { lines.push_back(line); },
      [&](const std::string& line) { problems.push_back(line); });
  return web::jsonReply({{"folder", allowed->string()},
                         {"movable", status == 0},
                         {"findings", lines},
                         {"problems", problems}});
}

web::Reply DashboardRoutes::startMove(const nlohmann::json& body) {
  const std::string folder = body.value("folder", "");
  if (folder.empty()) return web::sentenceReply(400, std::string(kNoFolder));
  auto allowed = web::allowedPath(policy_, folder);
  if (!allowed) return allowed.error();
  if (!move_.start([this, src = allowed->string()] { runMove(src); })) {
    return web::sentenceReply(409, std::string(kMoveBusy));
  }
  return web::jsonReply({{"started", true}, {"folder", allowed->string()}}, 202);
}

void DashboardRoutes::runMove(std::string folder) {
  auto& events = server_.events();
  events.publish("move-start", nlohmann::json{{"folder", folder}}.dump());
  const int status = runMoveCommand(
      sources_, {.folder = folder, .yes = true},
      [&](const std::string& line) {
        if (!line.empty()) events.publish("move-line", nlohmann::json{{"line", line}}.dump());
      },
      [&](const std::string& line) {
        events.publish("move-problem", nlohmann::json{{"line", line}}.dump());
      },
      [this](RunLoop* loop) {
        std::lock_guard lock(moveLoopMutex_);
        moveLoop_ = loop;
      });
  events.publish("move-done", nlohmann::json{{"folder", folder}, {"status", status}}.dump());
}

web::Reply DashboardRoutes::cancelMove() {
  std::lock_guard lock(moveLoopMutex_);
  if (!moveLoop_) return web::sentenceReply(409, std::string(kNothingToCancel));
  // As Ctrl-C would: the move cancels, removes its partial copy and says how it ended.
  moveLoop_->interrupt(SIGINT);
  return web::jsonReply({{"cancelling", true}}, 202);
}

web::Reply DashboardRoutes::moves() {
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream noAnswers;
  MoverCommandContext context = moverContextFor(sources_, out, err, noAnswers);
  if (movesJsonCommand(context) != 0) return web::sentenceReply(503, err.str());
  return {.status = 200, .contentType = "application/json", .body = out.str()};
}

web::Reply DashboardRoutes::storage() {
  auto status = readStatus(sources_.paths.statusJson);
  if (!status) return web::sentenceReply(503, status.error().message());
  // The service's own part needs the loop thread's service manager; the page shows the snapshot.
  auto all = nlohmann::json::parse(statusJson({}, *status));
  return web::jsonReply(all["snapshot"]);
}

web::Reply DashboardRoutes::historyChart() {
  auto text = readFile(sources_.paths.state / kUsageHistoryFile);
  if (!text && text.error().code != Errc::kNotFound) {
    return web::sentenceReply(503,
                              "The usage history couldn't be read, so there is no chart. Your "
                              "data is safe; check that the file is readable. Raw error: " +
                                  text.error().message());
  }
  const HistoryRows parsed = parseHistory(text.value_or(""));
  if (parsed.rows.empty())
    return web::sentenceReply(404, emptyHistorySentence(parsed.skippedLines));
  return {.status = 200,
          .contentType = "image/svg+xml",
          .body = historySvg(bucketHistory(parsed.rows, kChartColumns))};
}

}  // namespace brimvale::app
