#include "app/core/state_json.h"

#include "app/core/json_output.h"

#include <algorithm>
#include <optional>

#include <nlohmann/json.hpp>

#include "care/care_plan.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {
using nlohmann::json;

std::string prettyState(const json& doc) { return versionedText(doc); }

template <typename T>
json orNull(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

// Seconds since the epoch of an ISO-8601 UTC stamp; null when the text is not one.
json epochOf(std::string_view iso) { return orNull(parseIsots(iso)); }

// The snapshot under the keys the service writes it with.
json snapshotJson(const ServiceStatus& s) {
  return {{"timestamp", s.timestamp},
          {"version", s.version},
          {"nvme_path", s.nvmePath},
          {"mounted", s.mounted},
          {"marker_ok", s.markerOk},
          {"nvme_free_gb", orNull(s.nvmeFreeGb)},
          {"nvme_total_gb", orNull(s.nvmeTotalGb)},
          {"nvme_free_bytes", orNull(s.nvmeFreeBytes)},
          {"nvme_total_bytes", orNull(s.nvmeTotalBytes)},
          {"internal_free_gb", s.internalFreeGb},
          {"internal_total_gb", s.internalTotalGb},
          {"internal_free_bytes", orNull(s.internalFreeBytes)},
          {"internal_total_bytes", orNull(s.internalTotalBytes)},
          {"internal_purgeable_bytes", orNull(s.internalPurgeableBytes)},
          {"idle_secs", s.idleSecs},
          {"quiet_hours", s.quietHours},
          {"paused", s.paused},
          {"auto_enabled", s.autoEnabled},
          {"last_run", orNull(s.lastRun)},
          {"last_event", orNull(s.lastEvent)},
          {"low_space_warn_gb", s.lowSpaceWarnGb},
          {"low_space_critical_gb", s.lowSpaceCriticalGb},
          {"auto_relocate_hour", s.autoRelocateHour},
          {"quiet_hours_blocked", s.quietHoursBlocked},
          {"quiet_mode", orNull(s.quietMode)},
          {"quiet_reason", orNull(s.quietReason)},
          {"smart_idle_minutes", orNull(s.smartIdleMinutes)},
          {"smart_min_battery", orNull(s.smartMinBattery)},
          {"smart_respect_meetings", orNull(s.smartRespectMeetings)},
          {"on_battery", orNull(s.onBattery)},
          {"battery_pct", orNull(s.batteryPct)},
          {"meeting_active", orNull(s.meetingActive)},
          {"rule_count", s.ruleCount},
          {"app_cache_path_count", s.appCachePathCount}};
}

// An issue under the keys of the ledger's issue lines.
json issueJson(const transfers::BackgroundIssue& issue) {
  return {{"signature", issue.signature},
          {"feature", issue.feature},
          {"message", issue.message},
          {"itemName", issue.itemName},
          {"count", issue.count},
          {"firstSeen", issue.firstSeen},
          {"firstSeenEpoch", epochOf(issue.firstSeen)},
          {"lastSeen", issue.lastSeen},
          {"lastSeenEpoch", epochOf(issue.lastSeen)}};
}

// The latest run under the keys of the ledger's job lines; every field null
// when the kind has not run, so the record keeps its shape.
json runJson(const transfers::BackgroundJob* job) {
  if (job == nullptr) {
    return {{"lastRunAt", nullptr},   {"lastRunAtEpoch", nullptr}, {"lastOutcome", nullptr},
            {"lastSummary", nullptr}, {"totalRuns", nullptr},      {"succeeded", nullptr},
            {"failed", nullptr},      {"itemsHandled", nullptr},   {"bytesHandled", nullptr}};
  }
  return {{"lastRunAt", job->lastRunAt},
          {"lastRunAtEpoch", epochOf(job->lastRunAt)},
          {"lastOutcome", transfers::jobOutcomeRaw(job->lastOutcome)},
          {"lastSummary", job->lastSummary},
          {"totalRuns", job->totalRuns},
          {"succeeded", job->succeeded},
          {"failed", job->failed},
          {"itemsHandled", job->itemsHandled},
          {"bytesHandled", job->bytesHandled}};
}

// The scan's figures for a reclaim step; null for steps the scan does not size.
json stepJson(const care::CareStep& step, const care::SizedPlan& plan) {
  const bool reclaim = step.kind == care::CareStep::Kind::kReclaim;
  auto found = std::find_if(plan.scan.begin(), plan.scan.end(),
                            [&](const auto& f) { return reclaim && f.category == step.category; });
  const bool sized = found != plan.scan.end();
  return {{"name", care::stepName(step)},
          {"category", reclaim ? json(care::rawString(step.category)) : json(nullptr)},
          {"freeableBytes", sized ? json(found->bytes) : json(nullptr)},
          {"items", sized ? json(found->items) : json(nullptr)}};
}

// An action with the words that offer it and the command that performs it.
json actionJson(care::SimpleActionID action) {
  const auto command = care::actionCommand(action);
  return {{"action", care::rawString(action)},
          {"label", care::actionLabel(action)},
          {"command", command ? json(*command) : json(nullptr)}};
}

json recommendationJson(const care::Recommendation& r) {
  json record = actionJson(r.action);
  record["headline"] = r.headline;
  record["detail"] = r.detail;
  record["estimateGb"] = r.noEstimate ? json(nullptr) : json(r.estimateGb);
  return record;
}

json factsJson(const care::HomeFacts& f) {
  return {{"internalFreeGb", f.internalFreeGb},
          {"driveConnected", f.driveConnected},
          {"movableAppCount", f.movableAppCount},
          {"movableAppsGb", f.movableAppsGb},
          {"snapshotGb", f.snapshotGb},
          {"cloudAccountCount", f.cloudAccountCount},
          {"paused", f.paused},
          {"warnThresholdGb", f.warnThresholdGb},
          {"criticalThresholdGb", f.criticalThresholdGb}};
}

json trendJson(const care::TrendInput& t) {
  return {{"volumeName", t.volumeName},
          {"freeGbNow", t.freeGbNow},
          {"freeGbAtStart", t.freeGbAtStart},
          {"periodDays", t.periodDays},
          {"sentence", care::trendSentence(t)}};
}

}  // namespace

std::string statusJson(const platform::ServiceJobState& job, const ServiceStatus& status) {
  return prettyState(
      {{"service",
        {{"loaded", job.loaded}, {"running", job.pid.has_value()}, {"pid", orNull(job.pid)}}},
       {"snapshot", snapshotJson(status)},
       {"snapshotEpoch", epochOf(status.timestamp)}});
}

std::string jobsJson(const std::vector<transfers::BackgroundJob>& latest,
                     const std::vector<transfers::BackgroundIssue>& issues) {
  json kinds = json::array();
  for (const auto& info : transfers::jobKinds()) {
    auto job = std::find_if(latest.begin(), latest.end(),
                            [&](const auto& j) { return j.kind == info.kind; });
    json record = runJson(job == latest.end() ? nullptr : &*job);
    record["kind"] = info.raw;
    record["description"] = info.description;
    record["hasRun"] = job != latest.end();
    json open = json::array();
    for (const auto& issue : issues) {
      if (issue.feature == info.raw) open.push_back(issueJson(issue));
    }
    record["issues"] = open;
    kinds.push_back(record);
  }
  return prettyState({{"jobs", kinds}});
}

std::string notificationsJson(const std::vector<platform::DeliveredNotification>& delivered) {
  json rows = json::array();
  for (const auto& n : delivered) {
    rows.push_back({{"identifier", n.request.identifier},
                    {"threadIdentifier", n.request.threadIdentifier},
                    {"title", n.request.title},
                    {"subtitle", n.request.subtitle},
                    {"body", n.request.body},
                    {"interruptionLevel", platform::interruptionLevelName(n.request.level)},
                    {"sound", n.request.sound},
                    {"deliveredAt", n.deliveredAt},
                    {"deliveredAtEpoch", epochOf(n.deliveredAt)}});
  }
  return prettyState({{"notifications", rows}});
}

std::string snapshotsJson(const std::vector<snapshots::LocalSnapshot>& listed) {
  json rows = json::array();
  for (const auto& s : listed) {
    rows.push_back({{"name", s.name},
                    {"stamp", s.stamp},
                    {"protected", s.isProtected},
                    {"date", s.date ? json(isots(*s.date)) : json(nullptr)},
                    {"dateEpoch", orNull(s.date)}});
  }
  return prettyState({{"snapshots", rows}});
}

std::string carePlanJson(const care::SizedPlan& plan) {
  json steps = json::array();
  for (const auto& step : plan.steps) steps.push_back(stepJson(step, plan));
  const KeptByExcludes kept = care::keptByExcludesIn(plan);
  return prettyState({{"summary", care::planSentence(plan.steps)},
                      {"steps", steps},
                      {"keptByExcludes", {{"items", kept.items}, {"bytes", kept.bytes}}}});
}

std::string homeJson(const care::HomeFacts& facts, const care::TrendInput& trend,
                     const LastCare& last) {
  const auto steps = care::planSteps(facts);
  json stepNames = json::array();
  for (const auto& step : steps) stepNames.push_back(care::stepName(step));
  json further = json::array();
  for (const auto action : care::furtherActions(facts)) further.push_back(actionJson(action));
  const json lastCare = {{"at", orNull(last.at)},
                         {"atEpoch", last.at ? epochOf(*last.at) : json(nullptr)},
                         {"summary", orNull(last.summary)}};
  return prettyState({{"facts", factsJson(facts)},
                      {"recommendation", recommendationJson(care::recommend(facts))},
                      {"plan", {{"summary", care::planSentence(steps)}, {"steps", stepNames}}},
                      {"furtherActions", further},
                      {"trend", trendJson(trend)},
                      {"lastCare", lastCare}});
}

std::string carePreviewJson(const std::vector<care::ReclaimItem>& items, const KeptByExcludes& kept,
                            std::time_t now) {
  json listed = json::array();
  std::int64_t total = 0;
  for (const auto& item : items) {
    listed.push_back({{"category", care::rawString(item.category)},
                      {"path", item.path},
                      {"bytes", item.bytes},
                      {"agedFrom", isots(item.agedFrom)},
                      {"agedFromEpoch", item.agedFrom},
                      {"ageDays", (now - item.agedFrom) / 86'400}});
    total += item.bytes;
  }
  return prettyState({{"items", listed},
                      {"totalBytes", total},
                      {"totalItems", static_cast<std::int64_t>(items.size())},
                      {"keptByExcludes", {{"items", kept.items}, {"bytes", kept.bytes}}}});
}

std::string careRemovalsJson(const std::optional<care::RemovalRecord>& record) {
  json removed = json::array();
  std::int64_t total = 0;
  if (record) {
    for (const auto& item : record->removed) {
      removed.push_back({{"path", item.path}, {"bytes", item.bytes}});
      total += item.bytes;
    }
  }
  const json at = record ? json(isots(record->at)) : json(nullptr);
  return prettyState({{"at", at},
                      {"atEpoch", record ? json(record->at) : json(nullptr)},
                      {"removed", removed},
                      {"totalBytes", total}});
}

}  // namespace brimvale::app
