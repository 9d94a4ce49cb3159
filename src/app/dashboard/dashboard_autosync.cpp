#include "app/dashboard/dashboard_autosync.h"

#include <ctime>
#include <sstream>

#include "app/core/app_log.h"
#include "app/core/autosync_command.h"
#include "app/core/line_stream.h"
#include "app/core/short_id.h"
#include "app/core/state_json.h"
#include "app/core/transfer_schedule_command.h"
#include "cloud/auto_sync_store.h"
#include "cloud/schedule.h"
#include "cloud/sync_job.h"
#include "common/base/timestamps.h"
#include "common/state/configured_drive.h"
#include "platform/byte_count_format.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kAutoSyncScanBusy =
    "A scan started here is still running. Nothing new was started; its progress is showing on "
    "the auto-sync page.";
constexpr std::string_view kNoPolicy = "Choose a watched folder first. Nothing was changed.";
constexpr std::string_view kNoWatchedFolder =
    "Give the folder to watch and the folder on your fast drive that receives its files. Nothing "
    "was changed.";
constexpr std::string_view kNoDestination =
    "Give the folder on your fast drive that receives the new files. Nothing was changed.";
constexpr std::string_view kNoTransfer = "Choose a transfer first. Nothing was changed.";

json localTimeOrNull(const json& policy, const char* key) {
  if (!policy.contains(key)) return nullptr;
  const auto when = parseIsots(policy[key].get<std::string>());
  return when ? json(localMinute(*when)) : json(nullptr);
}

// The failure records of files inside `folder`, named from it, with the time
// a file that failed too often is tried again.
json failuresInside(const std::map<std::string, cloud::FailureRecord>& records,
                    const std::string& folder, std::time_t now) {
  json list = json::array();
  const auto watched = normalisedAbsolute(folder);
  for (const auto& [path, record] : records) {
    const auto file = normalisedAbsolute(path);
    if (!watched || !file || !isStrictlyInside(*file, *watched)) continue;
    const bool waiting = cloud::AutoSyncFailures::isBackedOff(record, now);
    list.push_back(
        {{"file", file->lexically_relative(*watched).string()},
         {"count", record.count},
         {"lastFailAt", localMinute(record.lastFailAt)},
         {"retryAt",
          waiting ? json(localMinute(record.lastFailAt + cloud::AutoSyncFailures::kBackOffSeconds))
                  : json(nullptr)}});
  }
  return list;
}

// The ledger's record of auto-sync, as the activity page shows every kind.
json autoSyncLedger(const fs::path& stateDir) {
  transfers::BackgroundJobsStore ledger(stateDir, systemClock());
  const json all =
      json::parse(jobsJson(transfers::latestPerKind(ledger.readJobs()), ledger.readIssues()));
  const std::string_view kind = transfers::jobKindInfo(transfers::JobKind::kAutoSync).raw;
  for (const auto& record : all["jobs"]) {
    if (record["kind"] == kind) return record;
  }
  return nullptr;
}

std::string withoutLastNewlines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The non-empty texts of the request's "excludes" array.
std::vector<std::string> excludesOf(const json& body) {
  std::vector<std::string> excludes;
  if (!body.contains("excludes") || !body["excludes"].is_array()) return excludes;
  for (const auto& pattern : body["excludes"]) {
    if (pattern.is_string() && !pattern.get<std::string>().empty()) excludes.push_back(pattern);
  }
  return excludes;
}

web::Reply messageOrSentence(int status, const std::ostringstream& out,
                             const std::ostringstream& err) {
  if (status != 0) {
    return web::sentenceReply(status == 2 ? 400 : 409, withoutLastNewlines(err.str()));
  }
  return web::jsonReply({{"message", withoutLastNewlines(out.str())}});
}

}  // namespace

std::expected<std::vector<std::string>, std::string> scheduleWordsFromForm(const json& body) {
  const std::string kind = web::bodyText(body, "kind");
  const std::string time = web::bodyText(body, "time");
  if (kind == "none") return std::vector<std::string>{"manual"};
  if (kind == "hourly") return std::vector<std::string>{"hourly", web::bodyText(body, "every")};
  if (kind == "daily") return std::vector<std::string>{"daily", time};
  if (kind == "weekly")
    return std::vector<std::string>{"weekly", web::bodyText(body, "weekday"), time};
  if (kind == "monthly")
    return std::vector<std::string>{"monthly", web::bodyText(body, "day"), time};
  return std::unexpected(
      std::string("Choose how often the transfer runs: manual only, every N hours, every day, "
                  "every week or every month. Nothing was changed."));
}

std::expected<cloud::Schedule, std::string> scheduleFromForm(const json& body) {
  const auto words = scheduleWordsFromForm(body);
  if (!words) return std::unexpected(words.error());
  return scheduleFromWords(*words);
}

AutoSyncRoutes::AutoSyncRoutes(const DashboardSources& sources, web::DashboardServer& server)
    : sources_(sources),
      server_(server),
      policy_(PathPolicy::rootsFor(sources.paths.home)),
      host_(platform::makeHostPlatform()) {
  server_.get("autosync", [this] { return overview(); });
  server_.post("autosync/add", [this](const json& body) { return add(body); });
  server_.post("autosync/edit", [this](const json& body) { return edit(body); });
  for (const char* action : {"enable", "disable", "remove"}) {
    server_.post(std::string("autosync/") + action,
                 [this, action](const json& body) { return change(action, body); });
  }
  server_.post("autosync/scan", [this](const json& body) { return scan(body); });
  server_.get("schedules", [this] { return schedules(); });
  server_.post("schedules/set", [this](const json& body) { return setSchedule(body); });
  // What the form would set, before it is saved: read as the command reads it.
  server_.post("schedules/next-run", [](const json& body) {
    const auto schedule = scheduleFromForm(body);
    if (!schedule) return web::sentenceReply(400, schedule.error());
    const auto next = cloud::nextRun(*schedule, std::time(nullptr));
    return web::jsonReply({{"schedule", cloud::describeSchedule(*schedule)},
                           {"nextRun", next ? json(cloud::nextRunText(*next)) : json(nullptr)}});
  });
}

int AutoSyncRoutes::run(const std::string& action, std::vector<std::string> words,
                        std::vector<std::string> excludes, std::ostream& out, std::ostream& err) {
  std::istringstream noAnswers;
  MoverCommandContext mover = moverContextFor(sources_, out, err, noAnswers);
  AppLog log(sources_.paths.root / "brimvale.log", systemClock(), nullptr);
  AutoSyncCommandContext context{
      .mover = mover,
      .isOpen = [this](const std::string& path) { return host_.files->isOpen(path); },
      .log = [&log](const std::string& line) { log.write(line); }};
  return autosyncCommand(context, {.action = action,
                                   .words = std::move(words),
                                   .excludes = std::move(excludes),
                                   .json = action == "list"});
}

web::Reply AutoSyncRoutes::overview() {
  std::ostringstream out;
  std::ostringstream err;
  if (run("list", {}, {}, out, err) != 0) return web::sentenceReply(503, err.str());
  const auto records = cloud::AutoSyncFailures(sources_.paths.state).read();
  const std::time_t now = std::time(nullptr);
  json policies = json::array();
  for (json policy : json::parse(out.str())) {
    const std::string folder = policy["internalPath"];
    policy["shortId"] = shortId(policy["id"].get<std::string>());
    policy["lastScan"] = localTimeOrNull(policy, "lastScanAt");
    policy["lastMove"] = localTimeOrNull(policy, "lastMoveAt");
    policy["movedBytes"] =
        platform::formatFileByteCount(policy["totalBytesMoved"].get<std::int64_t>());
    policy["failures"] = failuresInside(records, folder, now);
    policies.push_back(std::move(policy));
  }
  const auto drive = configuredDrive(sources_.paths);
  return web::jsonReply(
      {{"policies", policies},
       {"workingFolder",
        drive ? workingFolderFor(*drive, sources_.computerName).string() : std::string()},
       {"ledger", autoSyncLedger(sources_.paths.state)}});
}

web::Reply AutoSyncRoutes::add(const json& body) {
  const std::string folder = web::bodyText(body, "folder");
  const std::string destination = web::bodyText(body, "destination");
  if (folder.empty() || destination.empty()) {
    return web::sentenceReply(400, std::string(kNoWatchedFolder));
  }
  // Its files will be moved away, leaving links: only where a move may go.
  auto allowed = web::allowedPath(policy_, folder);
  if (!allowed) return allowed.error();
  std::ostringstream out;
  std::ostringstream err;
  const int status = run("add", {allowed->string(), destination}, excludesOf(body), out, err);
  return messageOrSentence(status, out, err);
}

web::Reply AutoSyncRoutes::edit(const json& body) {
  const std::string id = web::bodyText(body, "id");
  const std::string destination = web::bodyText(body, "destination");
  if (id.empty()) return web::sentenceReply(400, std::string(kNoPolicy));
  if (destination.empty()) return web::sentenceReply(400, std::string(kNoDestination));
  std::ostringstream out;
  std::ostringstream err;
  const int status = run("edit", {id, destination}, excludesOf(body), out, err);
  return messageOrSentence(status, out, err);
}

web::Reply AutoSyncRoutes::change(const std::string& action, const json& body) {
  const std::string id = web::bodyText(body, "id");
  if (id.empty()) return web::sentenceReply(400, std::string(kNoPolicy));
  std::ostringstream out;
  std::ostringstream err;
  const int status = run(action, {id}, {}, out, err);
  return messageOrSentence(status, out, err);
}

web::Reply AutoSyncRoutes::scan(const json& body) {
  const std::string id = web::bodyText(body, "id");
  if (id.empty()) return web::sentenceReply(400, std::string(kNoPolicy));
  const bool started = scan_.start([this, id] {
    auto& events = server_.events();
    events.publish("autosync-start", json{{"id", id}}.dump());
    int status = 1;
    {
      LineBuffer outLines([&](const std::string& line) {
        if (!line.empty()) events.publish("autosync-line", json{{"line", line}}.dump());
      });
      LineBuffer errLines([&](const std::string& line) {
        if (!line.empty()) events.publish("autosync-problem", json{{"line", line}}.dump());
      });
      std::ostream out(&outLines);
      std::ostream err(&errLines);
      status = run("scan", {id}, {}, out, err);
    }
    events.publish("autosync-done", json{{"id", id}, {"status", status}}.dump());
  });
  if (!started) return web::sentenceReply(409, std::string(kAutoSyncScanBusy));
  return web::jsonReply({{"started", true}}, 202);
}

web::Reply AutoSyncRoutes::schedules() {
  auto jobs = cloud::JobListFile(sources_.paths.cloudJobs).load();
  if (!jobs) {
    return web::sentenceReply(
        503, jobs.error().message() + " Your transfers and their schedules are unchanged.");
  }
  json list = json::array();
  for (const auto& job : *jobs) {
    // A run a schedule started is not itself scheduled.
    if (job.isScheduledInstance) continue;
    const auto schedule = job.schedule ? cloud::scheduleFromJson(*job.schedule) : std::nullopt;
    const auto next = jobNextRun(job);
    list.push_back(
        {{"id", job.id},
         {"shortId", shortId(job.id)},
         {"source", job.source},
         {"destination", job.destination},
         {"mode", cloud::jobModeLabel(job.mode)},
         {"schedule", schedule ? json(cloud::describeSchedule(*schedule)) : json(nullptr)},
         {"nextRun", next ? json(cloud::nextRunText(*next)) : json(nullptr)},
         {"overdue", next && *next <= std::time(nullptr)}});
  }
  return web::jsonReply({{"transfers", list},
                         {"help",
                          {{"none", cloud::scheduleKindHelp(cloud::ScheduleKind::kNone)},
                           {"monthly", cloud::scheduleKindHelp(cloud::ScheduleKind::kMonthly)}}}});
}

web::Reply AutoSyncRoutes::setSchedule(const json& body) {
  const std::string id = web::bodyText(body, "id");
  if (id.empty()) return web::sentenceReply(400, std::string(kNoTransfer));
  auto words = scheduleWordsFromForm(body);
  if (!words) return web::sentenceReply(400, words.error());
  words->insert(words->begin(), id);
  std::ostringstream out;
  std::ostringstream err;
  const int status =
      scheduleTransferCommand(sources_.paths.cloudJobs, *words, std::time(nullptr), out, err);
  return messageOrSentence(status, out, err);
}

}  // namespace brimvale::app
