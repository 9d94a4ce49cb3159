// The machine-readable forms of the `brimvale` commands that show state:
// fixed keys (the record files' own where a record file exists), numbers as
// numbers, nothing left out (absent values are null) so scripts can rely on them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/core/status_reader.h"
#include "care/care_removals.h"
#include "care/care_run.h"
#include "care/home_guidance.h"
#include "platform/notification_center.h"
#include "platform/service_manager.h"
#include "snapshots/snapshot_tool_output.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {

// The background service's state and the status snapshot it last wrote.
[[nodiscard]] std::string statusJson(const platform::ServiceJobState& job,
                                     const ServiceStatus& status);

// One record per kind of background work, in the ledger's kind order, with
// the latest run (null fields when the kind has not run) and its open issues.
[[nodiscard]] std::string jobsJson(const std::vector<transfers::BackgroundJob>& latest,
                                   const std::vector<transfers::BackgroundIssue>& issues);

// The notifications currently showing, oldest first as delivered.
[[nodiscard]] std::string notificationsJson(
    const std::vector<platform::DeliveredNotification>& delivered);

// The last clean-up as stored for the home screen; empty when it never ran.
struct LastCare {
  std::optional<std::string> at;  // ISO-8601 UTC
  std::optional<std::string> summary;
};

// The home screen: its facts, the recommendation, the clean-up plan, the
// further actions, the trend of free space and the last clean-up.
[[nodiscard]] std::string homeJson(const care::HomeFacts& facts, const care::TrendInput& trend,
                                   const LastCare& last);

// The local snapshots as the snapshot tool lists them.
[[nodiscard]] std::string snapshotsJson(const std::vector<snapshots::LocalSnapshot>& listed);

// What the clean-up would do: its sentence and each step with what the scan
// found for it.
[[nodiscard]] std::string carePlanJson(const care::SizedPlan& plan);

// What the last clean-up removed, item by item; null time and an empty list
// when it never ran.
// What the clean-up would delete, item by item, and what the excludes kept,
// as `care --preview --json` shows it; ages count back from `now`.
[[nodiscard]] std::string carePreviewJson(const std::vector<care::ReclaimItem>& items,
                                          const KeptByExcludes& kept, std::time_t now);

[[nodiscard]] std::string careRemovalsJson(const std::optional<care::RemovalRecord>& record);

}  // namespace brimvale::app
