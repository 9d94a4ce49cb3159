// The dashboard's auto-sync page: the watched folders with their totals and
// the files that keep failing, the last auto-sync run from the background-job
// ledger, a scan run now with its lines as live events, and the transfers'
// schedules with their next run. Every change goes through `brimvale
// autosync` and `brimvale transfers schedule`'s own code.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/dashboard/dashboard_sources.h"
#include "cloud/schedule.h"
#include "common/state/path_policy.h"
#include "platform/platform.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// The words `transfers schedule` reads after the id, from the schedule form's
// fields ("kind", "every", "weekday", "day", "time"); or the sentence saying
// what the form lacks. The words themselves are checked by the command.
[[nodiscard]] std::expected<std::vector<std::string>, std::string> scheduleWordsFromForm(
    const nlohmann::json& body);

// The schedule those words describe, as `transfers schedule` reads them.
[[nodiscard]] std::expected<cloud::Schedule, std::string> scheduleFromForm(
    const nlohmann::json& body);

class AutoSyncRoutes {
 public:
  AutoSyncRoutes(const DashboardSources& sources, web::DashboardServer& server);

 private:
  web::Reply overview();
  web::Reply add(const nlohmann::json& body);
  web::Reply edit(const nlohmann::json& body);
  web::Reply change(const std::string& action, const nlohmann::json& body);
  web::Reply scan(const nlohmann::json& body);
  web::Reply schedules();
  web::Reply setSchedule(const nlohmann::json& body);
  // Runs `brimvale autosync` as the command line does; its exit status.
  int run(const std::string& action, std::vector<std::string> words,
          std::vector<std::string> excludes, std::ostream& out, std::ostream& err);

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  PathPolicy policy_;
  platform::Platform host_;  // its open-file test, for files still being written
  JobThread scan_;           // last: joined first
};

}  // namespace brimvale::app
