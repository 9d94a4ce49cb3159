#include "app/dashboard/dashboard_transfers.h"

#include <array>
#include <sstream>

#include "app/core/line_stream.h"
#include "app/core/transfers_command.h"
#include "cloud/machine_fingerprint.h"
#include "cloud/rclone_locator.h"

namespace brimvale::app {
namespace {

constexpr std::string_view kTransferBusy =
    "A transfer started here is still running. Nothing new was started; its progress is showing "
    "on the transfers page.";
constexpr std::string_view kNoId = "Choose a transfer first. Nothing was changed.";

// Runs `brimvale transfers` as the command line does, `interrupted` standing
// for its Ctrl-C.
int runTransfers(const DashboardSources& sources, const TransfersOptions& options,
                 std::ostream& out, std::ostream& err,
                 const std::atomic<bool>* interrupted = nullptr) {
  const ProcessRunner run = platform::runnerOf(sources.launcher);
  TransfersCommandContext context{.jobsFile = sources.paths.cloudJobs,
                                  .stateDir = sources.paths.state,
                                  .rclone = cloud::locateRclone(cloud::defaultRcloneSearch(), run),
                                  .out = out,
                                  .err = err,
                                  .interrupted = interrupted,
                                  .runner = run};
  setTransferPlaces(context, sources.paths, sources.mounts, sources.computerName);
  cloud::RemoteMetadataStore details(cloud::MetadataFiles::inStateFolder(sources.paths.state),
                                     cloud::hostFingerprint(run), std::nullopt);
  context.details = &details;
  return transfersCommand(context, options);
}

web::Reply jsonOrSentence(int status, const std::ostringstream& out,
                          const std::ostringstream& err) {
  if (status != 0) return web::sentenceReply(status == 2 ? 400 : 503, err.str());
  return {.status = 200, .contentType = "application/json", .body = out.str()};
}

}  // namespace

TransfersRoutes::TransfersRoutes(const DashboardSources& sources, web::DashboardServer& server)
    : sources_(sources), server_(server), remotes_(sources, server) {
  server_.get("transfers", [this] { return list(); });
  server_.post("transfers/cancel-waiting", [this](const nlohmann::json&) {
    return runChange({.action = "cancel", .waitingForDrive = true});
  });
  server_.post("transfers/clear",
               [this](const nlohmann::json&) { return runChange({.action = "clear"}); });
  server_.post("transfers/new", [this](const nlohmann::json& body) { return start(body); });
  for (const char* action : {"pause", "resume", "cancel"}) {
    server_.post(std::string("transfers/") + action,
                 [this, action](const nlohmann::json& body) { return change(action, body); });
  }
  server_.post("transfers/stop", [this](const nlohmann::json&) {
    stopNew_ = true;
    return web::jsonReply({{"stopping", true}}, 202);
  });
}

// A transfer still running stops as at Ctrl-C before its thread is joined.
TransfersRoutes::~TransfersRoutes() { stopNew_ = true; }

web::Reply TransfersRoutes::list() {
  std::ostringstream out;
  std::ostringstream err;
  const int status = runTransfers(sources_, {.action = "list", .json = true}, out, err);
  return jsonOrSentence(status, out, err);
}

web::Reply TransfersRoutes::runChange(const TransfersOptions& options) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = runTransfers(sources_, options, out, err);
  if (status != 0) return web::sentenceReply(status == 2 ? 400 : 409, err.str());
  std::string message = out.str();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return web::jsonReply({{"message", message}});
}

web::Reply TransfersRoutes::start(const nlohmann::json& body) {
  TransfersOptions options{
      .action = "new",
      .words = {web::bodyText(body, "source"), web::bodyText(body, "destination")}};
  if (auto mode = web::bodyText(body, "mode"); !mode.empty()) options.mode = mode;
  options.dryRun = web::bodyFlag(body, "dryRun");
  options.resync = web::bodyFlag(body, "resync");
  options.bandwidthLimit = web::bodyText(body, "bandwidthLimit");
  options.schedule = web::bodyText(body, "schedule");
  if (const auto it = body.find("transfers"); it != body.end()) {
    if (!it->is_number_integer() || *it < 1 || *it > 24) {
      return web::sentenceReply(
          400, "Parallel transfers must be a whole number from 1 to 24. Nothing was started.");
    }
    options.transfers = it->get<int>();
  }
  const bool started = new_.start([this, options] {
    stopNew_ = false;
    auto& events = server_.events();
    events.publish(
        "transfer-start",
        nlohmann::json{{"source", options.words[0]}, {"destination", options.words[1]}}.dump());
    int status = 1;
    {
      LineBuffer outLines([&](const std::string& line) {
        if (!line.empty()) events.publish("transfer-line", nlohmann::json{{"line", line}}.dump());
      });
      LineBuffer errLines([&](const std::string& line) {
        if (!line.empty()) {
          events.publish("transfer-problem", nlohmann::json{{"line", line}}.dump());
        }
      });
      std::ostream out(&outLines);
      std::ostream err(&errLines);
      status = runTransfers(sources_, options, out, err, &stopNew_);
    }
    events.publish("transfer-done", nlohmann::json{{"status", status}}.dump());
  });
  if (!started) return web::sentenceReply(409, std::string(kTransferBusy));
  return web::jsonReply({{"started", true}}, 202);
}

web::Reply TransfersRoutes::change(const std::string& action, const nlohmann::json& body) {
  const std::string id = web::bodyText(body, "id");
  if (id.empty()) return web::sentenceReply(400, std::string(kNoId));
  std::ostringstream out;
  std::ostringstream err;
  const int status = runTransfers(sources_, {.action = action, .words = {id}}, out, err);
  if (status != 0) return web::sentenceReply(status == 2 ? 400 : 409, err.str());
  std::string message = out.str();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return web::jsonReply({{"message", message}});
}

}  // namespace brimvale::app
