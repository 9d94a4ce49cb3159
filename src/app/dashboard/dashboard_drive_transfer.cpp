#include "app/dashboard/dashboard_drive_transfer.h"

#include <sstream>

#include "app/core/drive_transfer_command.h"
#include "app/core/service_command.h"
#include "common/base/file_io.h"
#include "mover/drive_switch.h"

namespace brimvale::app {
namespace {

using nlohmann::json;

constexpr std::chrono::seconds kServiceLimit{120};
constexpr std::string_view kNoDrive = "Choose the drive to copy to first. Nothing was changed.";
// Added to the service's few words when it refuses a start.
constexpr std::string_view kNotStarted =
    " Nothing new was started; your current drive is unchanged.";

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

json driveTransferView(const std::optional<DriveTransferJob>& job, bool switching) {
  if (!job || job->neverStarted()) {
    return {{"active", false}, {"phase", "idle"}, {"line", "No drive transfer is under way."}};
  }
  const bool backup = job->isBackup();
  const bool done = job->phase == TransferPhase::kDone;
  std::string_view result;
  if (done) result = backup ? mover::kBackedUpSentence : mover::kSwitchedSentence;
  if (job->phase == TransferPhase::kFailed) {
    result = backup ? mover::kBackupFailedSentence : mover::kSwitchFailedSentence;
  }
  return {{"active", true},
          {"phase", job->rawPhase},
          {"kind", backup ? kTransferKindBackup : kTransferKindSwitch},
          // A finished job says only how it ended, as `status --wait` does.
          {"line", done ? std::string() : transferStatusLine(job->phase, backup, switching)},
          {"result", std::string(result)},
          {"lastError", job->lastError},
          {"percent", job->percent},
          {"bytesDone", job->bytesDone},
          {"bytesTotal", job->bytesTotal},
          {"rate", job->rate},
          {"currentFile", job->currentFile},
          {"destRoot", job->destRoot}};
}

DriveTransferRoutes::DriveTransferRoutes(const DashboardSources& sources,
                                         web::DashboardServer& server, StatePoller& poller)
    : sources_(sources), server_(server) {
  server_.get("drive-transfer", [this] { return web::jsonReply(currentView()); });
  server_.post("drive-transfer/check", [this](const json& body) { return check(body); });
  server_.post("drive-transfer/start", [this](const json& body) { return start(body); });
  for (const char* verb : {"pause", "resume", "cancel"}) {
    server_.post(std::string("drive-transfer/") + verb,
                 [this, verb](const json&) { return change(verb); });
  }
  poller.add([this] { look(); });
}

int DriveTransferRoutes::run(const std::vector<std::string>& args, bool json, std::string& out,
                             std::string& err) {
  std::ostringstream outStream;
  std::ostringstream errStream;
  ViewCommandHost view{.service =
                           [this](const std::vector<std::string>& serviceArgs) {
                             return runServiceCommand(platform::runnerOf(sources_.launcher),
                                                      sources_.paths, sources_.rsyncPath,
                                                      serviceArgs, kServiceLimit);
                           },
                       .json = json,
                       .out = outStream,
                       .err = errStream};
  DriveTransferHost host{.view = view,
                         .paths = sources_.paths,
                         .runSwitch = [this](const std::function<void(std::string_view)>& show) {
                           return switchToNewDrive(platform::runnerOf(sources_.launcher),
                                                   sources_.paths, sources_.rsyncPath, show);
                         }};
  const int status = driveTransferCommand(host, args);
  out = trimmed(outStream.str());
  err = trimmed(errStream.str());
  return status;
}

web::Reply DriveTransferRoutes::check(const json& body) {
  const std::string dest = body.value("destination", "");
  if (dest.empty()) return web::sentenceReply(400, std::string(kNoDrive));
  std::string out;
  std::string err;
  const int status = run({"check", dest}, true, out, err);
  json verdict = json::parse(out, nullptr, false);
  if (status > 1 || !verdict.is_object()) {
    return web::sentenceReply(503, err.empty() ? out : err);
  }
  return web::jsonReply(verdict);
}

web::Reply DriveTransferRoutes::start(const json& body) {
  const std::string dest = body.value("destination", "");
  if (dest.empty()) return web::sentenceReply(400, std::string(kNoDrive));
  const std::string kind = body.value("kind", "transfer") == "backup" ? "backup" : "transfer";
  std::string out;
  std::string err;
  if (run({"start", kind, dest}, false, out, err) != 0) {
    // The service says why on either stream, in a few words.
    const std::string why = err.empty() ? out : err;
    return web::sentenceReply(409, why.ends_with('.') && why.find('\n') == std::string::npos
                                       ? why + std::string(kNotStarted)
                                       : why);
  }
  return web::jsonReply({{"message", out.substr(0, out.find('\n'))}, {"job", currentView()}}, 202);
}

web::Reply DriveTransferRoutes::change(const std::string& verb) {
  std::string out;
  std::string err;
  if (run({verb}, false, out, err) != 0) return web::sentenceReply(409, err.empty() ? out : err);
  return web::jsonReply({{"message", out}, {"job", currentView()}});
}

json DriveTransferRoutes::currentView() const {
  const auto job = readDriveTransferJob(sources_.paths.transferJobJson);
  return driveTransferView(job, switchRunning(sources_.paths, job));
}

void DriveTransferRoutes::look() {
  // The switch may start and end without a change to the job's file.
  std::string seen = currentView().dump();
  if (seen == lastSeen_) return;
  lastSeen_ = seen;
  server_.events().publish("drive-transfer", std::move(seen));
}

}  // namespace brimvale::app
