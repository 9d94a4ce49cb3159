#include "app/core/care_commands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/core/app_log.h"
#include "app/core/service_command.h"
#include "app/core/state_json.h"
#include "care/care_preview.h"
#include "care/care_removals.h"
#include "care/care_run.h"
#include "care/home_report.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"
#include "snapshots/thinning_record.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {
namespace {

constexpr std::int64_t kBytesPerGb = 1'000'000'000;
constexpr std::chrono::seconds kStatusLimit{60};
// A clean-up step may relocate large folders; it is stopped only when stuck.
constexpr std::chrono::hours kCareStepLimit{1};
constexpr std::string_view kAllTimeFile = "cumulative-saved-bytes";

// The restore-point manager with its thinning remembered in the settings and
// the ledger, and the startup volume's figures for the purgeable estimate.
class Snapshots {
 public:
  explicit Snapshots(CareCommandHost& host)
      : log_(host.paths.root / "brimvale.log", systemClock(), nullptr),
        ledger_(host.paths.state, systemClock()),
        recorder_(*host.platform.defaults, ledger_, log_.sink()),
        manager_({.toolPath = host.snapshotTool, .run = host.run}, recorder_, [&host] {
          const auto values = host.platform.volumes->read("/");
          return snapshots::StartupCapacity{
              .available = values.availableCapacity,
              .availableForImportantUsage = values.availableCapacityForImportantUsage};
        }) {}

  snapshots::SnapshotManager& manager() { return manager_; }

 private:
  AppLog log_;
  transfers::BackgroundJobsStore ledger_;
  snapshots::AppThinningRecorder recorder_;
  snapshots::SnapshotManager manager_;
};

int snapshotFailure(CareCommandHost& host, const snapshots::SnapshotManagerError& error) {
  host.err << error.description() << "\nYour files are safe.\n";
  return 1;
}

int snapshotsUsage(CareCommandHost& host) {
  host.err << "Use: brimvale snapshots [list | delete STAMP | thin BYTES URGENCY | destination]. "
              "Nothing was changed.\n";
  return 2;
}

template <class T>
std::optional<T> wholeNumber(const std::string& text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

int listSnapshots(CareCommandHost& host, snapshots::SnapshotManager& manager) {
  auto listed = manager.listLocalSnapshots();
  if (!listed) return snapshotFailure(host, listed.error());
  if (host.json) {
    host.out << snapshotsJson(*listed);
    return 0;
  }
  if (listed->empty()) host.out << "No local snapshots.\n";
  for (const auto& s : *listed) {
    host.out << s.name;
    if (s.isProtected) {
      host.out << "  (required by " << kHostWords.system << ")";
    } else {
      host.out << "  " << (s.date ? ts(*s.date) : std::string("date unknown"));
    }
    host.out << "\n";
  }
  return 0;
}

int showDestination(CareCommandHost& host, snapshots::SnapshotManager& manager) {
  auto destination = manager.destinationInfo();
  if (!destination) return snapshotFailure(host, destination.error());
  if (!*destination) {
    host.out << "No Time Machine backup destination is set up.\n";
    return 0;
  }
  host.out << "Name: " << (*destination)->name << "\nMount Point: " << (*destination)->mountPoint
           << "\n";
  if ((*destination)->mountPoint.empty()) return 0;
  auto latest = manager.latestBackup((*destination)->mountPoint);
  if (!latest) return snapshotFailure(host, latest.error());
  if (!*latest) {
    host.out << "No backup has finished on it yet.\n";
  } else {
    host.out << "Latest backup: " << (*latest)->path;
    if ((*latest)->date) host.out << " (" << ts(*(*latest)->date) << ")";
    host.out << "\n";
  }
  return 0;
}

// A fresh snapshot from the service when it answers, else the last one written.
std::expected<ServiceStatus, StatusReadFailure> currentStatus(const CareCommandHost& host) {
  ProcessResult fresh =
      runServiceCommand(host.run, host.paths, host.rsyncPath, {"json"}, kStatusLimit);
  if (fresh.succeeded()) {
    if (auto status = decodeStatus(fresh.out)) return status;
  }
  return readStatus(host.paths.statusJson);
}

care::HomeFacts gatherFacts(CareCommandHost& host, const ServiceStatus& status,
                            const snapshots::SnapshotManager& manager) {
  return homeFactsFrom(status, manager.available() ? manager.purgeableEstimate() : 0, 0,
                       care::scanMovableApps(care::applicationFolders(host.paths.home)));
}

care::CareRoutines careRoutines(CareCommandHost& host, snapshots::SnapshotManager& manager) {
  return {
      .service =
          [&host](const std::vector<std::string>& args) {
            return runServiceCommand(host.run, host.paths, host.rsyncPath, args, kCareStepLimit);
          },
      .thinSnapshots = [&manager]() -> std::optional<std::string> {
        auto thinned =
            manager.thinLocalSnapshots(snapshots::kReclaimAllBytes, snapshots::kMostUrgent);
        if (thinned) return std::nullopt;
        return thinned.error().description();
      },
      .internalFreeBytes =
          [&host] {
            return host.platform.volumes->read(host.paths.home.string()).availableCapacity;
          },
      .pause = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); },
  };
}

std::string planText(const care::SizedPlan& plan) {
  std::string text = care::planSentence(plan.steps) + "\n";
  int n = 0;
  for (const auto& step : plan.steps) {
    text += "  " + std::to_string(++n) + ". " + std::string(care::stepName(step));
    for (const auto& f : plan.scan) {
      if (step.kind == care::CareStep::Kind::kReclaim && f.category == step.category) {
        text += " (about " + platform::formatFileByteCount(f.bytes) + ")";
      }
    }
    text += "\n";
  }
  if (const KeptByExcludes kept = care::keptByExcludesIn(plan); kept.items > 0)
    text += keptByExcludesLine(kept) + "\n";
  return text;
}

std::string itemAgeText(std::time_t agedFrom, std::time_t now) {
  const std::int64_t days = (now - agedFrom) / 86'400;
  return days == 1 ? "1 day" : std::to_string(std::max<std::int64_t>(days, 0)) + " days";
}

std::string itemsWord(std::size_t n) { return std::to_string(n) + (n == 1 ? " item" : " items"); }

// The run in the background-job ledger, beside the other kinds of work.
void recordCareRun(CareCommandHost& host, transfers::JobOutcome outcome, const std::string& summary,
                   std::int64_t items = 0, std::int64_t bytes = 0) {
  transfers::BackgroundJobsStore ledger(host.paths.state, systemClock());
  if (auto recorded = ledger.recordRun(transfers::JobKind::kCare, outcome, summary, items, bytes);
      !recorded) {
    AppLog(host.paths.root / "brimvale.log", systemClock(), nullptr)
        .write("SmartCare: run not recorded in the job ledger: " + recorded.error().message());
  }
}

std::int64_t totalBytes(const care::RemovalRecord& record) {
  std::int64_t total = 0;
  for (const auto& item : record.removed) total += item.bytes;
  return total;
}

void sortPreview(std::vector<care::ReclaimItem>& items, std::optional<ListingOrder> order) {
  if (!order) return;
  sortListing(
      items, *order, [](const care::ReclaimItem& i) { return i.bytes; },
      [](const care::ReclaimItem& i) { return std::optional<std::time_t>(i.agedFrom); },
      [](const care::ReclaimItem& i) { return i.path; });
}

// Each item the plan's clearing steps would delete, then the totals.
std::string previewText(const std::vector<care::ReclaimItem>& items, std::time_t now) {
  std::int64_t total = 0;
  std::vector<std::vector<std::string>> rows{{"SIZE", "AGE", "CATEGORY", "PATH"}};
  for (const auto& item : items) {
    rows.push_back({platform::formatFileByteCount(item.bytes), itemAgeText(item.agedFrom, now),
                    std::string(care::rawString(item.category)), item.path});
    total += item.bytes;
  }
  std::string text;
  if (items.empty()) {
    text = "Zozad Evev's clearing steps would delete no items now.\n";
  } else {
    text = "Zozad Evev would delete these items:\n" + alignedColumns(rows, "  ") +
           "Total: " + itemsWord(items.size()) + ", " + platform::formatFileByteCount(total) +
           ".\n";
  }
  return text;
}

// The previewed items the run would clear and what changed since, for the
// confirmation.
std::string fromPreviewText(const care::PreviewCheck& check, std::time_t now) {
  std::string text = check.toClear.empty()
                         ? "None of the previewed items is still due to be cleared.\n"
                         : previewText(check.toClear, now);
  return text + care::changedSince(check);
}

// Deletes the items of `check.toClear`, a category at a time, through the
// service's reclaim limited to them; the problems, as sentences. A category
// whose list couldn't be handed over is added to `skipped`.
std::string clearPreviewed(CareCommandHost& host, const care::CareRoutines& routines,
                           const care::PreviewCheck& check,
                           std::set<care::ReclaimCategory>& skipped) {
  const std::filesystem::path list = host.paths.state / "care-preview-selection.json";
  std::string problems;
  for (care::ReclaimCategory category :
       {care::ReclaimCategory::kDevcaches, care::ReclaimCategory::kSyslog,
        care::ReclaimCategory::kTrash}) {
    nlohmann::json paths = nlohmann::json::array();
    for (const auto& item : check.toClear) {
      if (item.category == category) paths.push_back(item.path);
    }
    if (paths.empty()) continue;
    if (auto written = writeFileAtomically(list, paths.dump()); !written) {
      problems += "The list of items to clear couldn't be written in " + host.paths.state.string() +
                  " (" + written.error().message() + "), so nothing of " +
                  std::string(care::rawString(category)) +
                  " was deleted. Your files are safe; make room on that disk or make the folder "
                  "writable, then run the clean-up again.\n";
      skipped.insert(category);
      continue;
    }
    const ProcessResult r = routines.service(
        {"reclaim", std::string(care::rawString(category)), "--only", list.string()});
    if (const auto refusal = care::reclaimRefusal(r.out)) problems += *refusal + "\n";
  }
  std::error_code ignored;
  std::filesystem::remove(list, ignored);
  return problems;
}

// Runs what still qualifies of a saved preview: checked again by the same
// scan, confirmed, cleared, then checked on disk before it is reported.
int careFromPreview(CareCommandHost& host, const care::CareRoutines& routines,
                    const care::SizedPlan& sized) {
  const auto text = readFile(host.previewFile);
  auto previewed = text ? care::parsePreview(*text) : std::unexpected(text.error());
  if (!previewed) {
    host.err << "Brimvale couldn't use the preview " << host.previewFile.string() << " ("
             << previewed.error().message()
             << "), so nothing was deleted. Your files are safe; save a new one with `brimvale "
                "care --preview --json > FILE`.\n";
    return 1;
  }
  const auto check = care::checkPreview(*previewed, sized.items, [](const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
  });
  const std::time_t now = std::time(nullptr);
  if (check.toClear.empty()) {
    host.out << fromPreviewText(check, now) << "Nothing was deleted.\n";
    return 0;
  }
  if (const Verdict verdict = decide(host.confirm, fromPreviewText(check, now));
      verdict != Verdict::kGo) {
    return stoppedStatus(verdict);
  }
  const care::RemovalWatch watch(host.paths.actions);
  std::set<care::ReclaimCategory> skipped;
  std::string problems = clearPreviewed(host, routines, check, skipped);
  const care::RemovalRecord removals{.at = std::time(nullptr), .removed = watch.removedSince()};
  // An item counts as deleted only when the service recorded deleting it: one
  // merely missing from its path may have been moved away, or the folder
  // holding it replaced by a link, and then it was not this run that took it.
  std::set<std::string> recorded;
  for (const auto& removed : removals.removed) recorded.insert(removed.path);
  std::vector<std::string> left, elsewhere;
  std::size_t notTried = 0;
  for (const auto& item : check.toClear) {
    if (recorded.contains(item.path)) continue;
    if (skipped.contains(item.category)) {
      ++notTried;  // already named by its category's sentence
      continue;
    }
    std::error_code ec;
    (std::filesystem::exists(std::filesystem::symlink_status(item.path, ec)) ? left : elsewhere)
        .push_back(item.path);
  }
  if (!left.empty()) {
    problems += "Still there, left as it is (in use or changed as the clean-up ran): " +
                joinedWith(left, ", ") + ".\n";
  }
  if (!elsewhere.empty()) {
    problems +=
        "No longer where the preview showed them, yet this clean-up has no record of "
        "deleting them (something else moved them or replaced the folder that held "
        "them); look for them before cleaning up again: " +
        joinedWith(elsewhere, ", ") + ".\n";
  }
  const std::size_t deleted = check.toClear.size() - left.size() - elsewhere.size() - notTried;
  const std::int64_t freed = totalBytes(removals);
  host.out << "\nZozad Evev deleted " << itemsWord(deleted) << " of the preview ("
           << platform::formatFileByteCount(freed) << ").\n"
           << care::changedSince(check) << problems;
  if (auto listed = care::storeRemovals(host.paths.state / care::kRemovalsFile, removals);
      !listed) {
    host.err << "The list of what was removed couldn't be saved, so `brimvale care --list` can't "
                "show it. Your files are not affected. "
             << listed.error().message() << "\n";
  }
  const bool whole = deleted == check.toClear.size();
  recordCareRun(host, whole ? transfers::JobOutcome::kOk : transfers::JobOutcome::kPartial,
                "From a preview: freed " + platform::formatFileByteCount(freed) + ", removed " +
                    itemsWord(deleted),
                static_cast<std::int64_t>(deleted), freed);
  return whole ? 0 : 1;
}

// What the last run removed, from its own record: path and size of each item.
int careListCommand(CareCommandHost& host) {
  auto record = care::loadRemovals(host.paths.state / care::kRemovalsFile);
  if (!record) {
    host.err << "Brimvale couldn't read the list of what Zozad Evev removed ("
             << record.error().message()
             << "). Your files are not affected; the next clean-up writes a new list.\n";
    return 1;
  }
  if (host.json) {
    host.out << careRemovalsJson(*record);
    return 0;
  }
  if (!*record) {
    host.out << "Zozad Evev hasn't run yet, so it has removed nothing. Run `brimvale care` to "
                "clean up.\n";
    return 0;
  }
  const care::RemovalRecord& last = **record;
  if (last.removed.empty()) {
    host.out << "Zozad Evev last ran " << localMinute(last.at) << " and removed no files.\n";
    return 0;
  }
  host.out << "Zozad Evev last ran " << localMinute(last.at) << " and removed "
           << itemsWord(last.removed.size()) << " ("
           << platform::formatFileByteCount(totalBytes(last)) << "):\n";
  for (const auto& item : last.removed) {
    host.out << "  " << platform::formatFileByteCount(item.bytes) << "  " << item.path << "\n";
  }
  return 0;
}

// The running total including this run, as the summary shows it.
std::string allTimeText(CareCommandHost& host, std::int64_t freed, AppLog& log) {
  auto total = care::addToAllTimeSaved(host.paths.state / kAllTimeFile, freed);
  if (!total) {
    log.write("SmartCare: all-time total not updated: " + total.error().message());
    return std::string(care::kNoAllTimeFigure);
  }
  return *total > 0 ? platform::formatFileByteCount(*total) : std::string(care::kNoAllTimeFigure);
}

}  // namespace

care::HomeFacts homeFactsFrom(const ServiceStatus& status, std::int64_t purgeableBytes,
                              std::int64_t cloudAccounts, const care::MovableApps& apps) {
  return {.internalFreeGb = status.internalFreeGb,
          .driveConnected = status.mounted,
          .movableAppCount = apps.count,
          .movableAppsGb = static_cast<std::int64_t>(apps.totalBytes / kBytesPerGb),
          .snapshotGb = purgeableBytes / kBytesPerGb,
          .cloudAccountCount = cloudAccounts,
          .paused = status.paused,
          .warnThresholdGb = status.lowSpaceWarnGb,
          .criticalThresholdGb = status.lowSpaceCriticalGb};
}

int snapshotsCommand(CareCommandHost& host, const std::vector<std::string>& args) {
  Snapshots snapshots(host);
  auto& manager = snapshots.manager();
  const std::string verb = args.empty() ? "list" : args[0];
  if (verb == "list" && args.size() <= 1) return listSnapshots(host, manager);
  if (verb == "destination" && args.size() == 1) return showDestination(host, manager);
  if (verb == "delete" && args.size() == 2) {
    if (auto deleted = manager.deleteSnapshot(args[1]); !deleted) {
      return snapshotFailure(host, deleted.error());
    }
    host.out << "Deleted local snapshot " << args[1] << ".\n";
    return 0;
  }
  if (verb == "thin" && args.size() == 3) {
    const auto bytes = wholeNumber<std::int64_t>(args[1]);
    const auto urgency = wholeNumber<int>(args[2]);
    if (!bytes || !urgency) return snapshotsUsage(host);
    if (auto thinned = manager.thinLocalSnapshots(*bytes, *urgency); !thinned) {
      return snapshotFailure(host, thinned.error());
    }
    host.out << snapshots::kThinningLedgerSummary << "\n";
    return 0;
  }
  return snapshotsUsage(host);
}

int homeCommand(CareCommandHost& host) {
  auto status = currentStatus(host);
  if (!status) {
    host.err << status.error().message() << "\n";
    return 1;
  }
  Snapshots snapshots(host);
  const care::HomeFacts facts = gatherFacts(host, *status, snapshots.manager());
  const auto trend =
      care::readTrend(host.paths.state / "history.ndjson", std::time(nullptr),
                      status->internalFreeGb, "your " + std::string(kHostWords.startupDisk));
  auto& defaults = *host.platform.defaults;
  if (host.json) {
    host.out << homeJson(
        facts, trend,
        {defaults.getString(care::kLastRunAtKey), defaults.getString(care::kLastSummaryKey)});
    return 0;
  }
  // The plan as the clean-up would run it; unsized when the scan fails, as
  // the home screen must still show.
  const auto plan = care::planSteps(facts);
  const auto sized = care::sizePlan(plan, careRoutines(host, snapshots.manager()).service);
  host.out << care::renderHome(facts, sized ? sized->steps : plan, trend);
  if (const auto summary = defaults.getString(care::kLastSummaryKey)) {
    host.out << "\nLast Zozad Evev run ("
             << defaults.getString(care::kLastRunAtKey).value_or("time unknown") << "):\n"
             << *summary << "\n";
  }
  return 0;
}

int careCommand(CareCommandHost& host, CareMode mode) {
  if (mode == CareMode::kList) return careListCommand(host);
  auto status = currentStatus(host);
  if (!status) {
    host.err << status.error().message() << "\n";
    return 1;
  }
  const bool running = mode == CareMode::kRun || mode == CareMode::kFromPreview;
  if (status->paused) {
    if (running) recordCareRun(host, transfers::JobOutcome::kSkipped, "Paused, so nothing ran");
    host.err << "Automatic actions are paused, so Zozad Evev didn't run. Nothing was changed; "
                "resume them with `brimvale service resume` when you're ready and run it again.\n";
    return 1;
  }
  Snapshots snapshots(host);
  const care::CareRoutines routines = careRoutines(host, snapshots.manager());
  const auto plan = care::planSteps(gatherFacts(host, *status, snapshots.manager()));
  auto sized = care::sizePlan(plan, routines.service,
                              mode == CareMode::kPreview || mode == CareMode::kFromPreview);
  if (!sized) {
    if (running) {
      recordCareRun(host, transfers::JobOutcome::kFailed, "Couldn't check what there is to clear");
    }
    host.err << "Zozad Evev couldn't check what there is to clear, so it didn't run. "
             << sized.error().message() << "\n";
    return 1;
  }
  if (mode == CareMode::kFromPreview) return careFromPreview(host, routines, *sized);
  if (mode == CareMode::kPreview) {
    sortPreview(sized->items, host.order);
    const std::time_t now = std::time(nullptr);
    const KeptByExcludes kept = care::keptByExcludesIn(*sized);
    if (host.json) {
      host.out << carePreviewJson(sized->items, kept, now);
    } else {
      host.out << previewText(sized->items, now)
               << (kept.items > 0 ? keptByExcludesLine(kept) + "\n" : "")
               << "Nothing was changed. Its first step follows your rules; `brimvale rules "
                  "--preview` lists what they would move or delete. To delete only these items, "
                  "save this preview with `--json` and run `brimvale care --from-preview FILE`.\n";
    }
    return 0;
  }
  if (mode == CareMode::kPlanOnly) {
    if (host.json) {
      host.out << carePlanJson(*sized);
      return 0;
    }
    host.out << planText(*sized);
    return 0;
  }
  if (const Verdict verdict = decide(host.confirm, planText(*sized)); verdict != Verdict::kGo)
    return stoppedStatus(verdict);

  const care::RemovalWatch watch(host.paths.actions);
  const auto results = care::runSteps(
      sized->steps, routines, [&](std::string_view line) { host.out << line << std::endl; });
  const care::RemovalRecord removals{.at = std::time(nullptr), .removed = watch.removedSince()};
  AppLog log(host.paths.root / "brimvale.log", systemClock(), nullptr);
  care::CareOutcome outcome = care::outcomeOf(results, *sized, {});
  outcome.allTimeText = allTimeText(host, outcome.freedBytes, log);
  std::string summary = care::composeSummary(outcome, platform::formatFileByteCount);
  if (const care::RemovalRecord trashed{.removed = watch.trashedSince()};
      !trashed.removed.empty()) {
    summary += "\n" + itemsWord(trashed.removed.size()) + " (" +
               platform::formatFileByteCount(totalBytes(trashed)) +
               ") went to the Trash instead of being deleted; their space is freed only when the "
               "Trash is emptied.";
  }
  const std::string problems = care::problemLines(results);
  if (!problems.empty()) summary += "\n" + problems.substr(0, problems.size() - 1);

  host.out << "\n" << summary << "\n";
  auto stored = care::storeRunRecord(*host.platform.defaults, {.at = removals.at,
                                                               .freedBytes = outcome.freedBytes,
                                                               .coverage = outcome.stepsRan,
                                                               .summary = summary});
  if (!stored) {
    host.err << "Zozad Evev finished, but its summary couldn't be saved for the home screen. "
             << stored.error().message() << "\n";
  }
  if (auto listed = care::storeRemovals(host.paths.state / care::kRemovalsFile, removals);
      !listed) {
    host.err << "Zozad Evev finished, but the list of what it removed couldn't be saved, so "
                "`brimvale care --list` can't show it. Your files are not affected. "
             << listed.error().message() << "\n";
  }
  const auto outcomeOfRun = problems.empty()           ? transfers::JobOutcome::kOk
                            : outcome.stepsRan.empty() ? transfers::JobOutcome::kFailed
                                                       : transfers::JobOutcome::kPartial;
  recordCareRun(host, outcomeOfRun,
                "Freed " + platform::formatFileByteCount(outcome.freedBytes) + ", removed " +
                    itemsWord(removals.removed.size()),
                static_cast<std::int64_t>(removals.removed.size()), outcome.freedBytes);
  return problems.empty() && stored ? 0 : 1;
}

}  // namespace brimvale::app
