#include "app/dashboard/dashboard_activity.h"

#include <sstream>

#include "app/core/mover_commands.h"
#include "app/core/state_json.h"
#include "common/base/timestamps.h"
#include "common/state/delivered_notifications.h"
#include "platform/notification_center.h"
#include "transfers/background_jobs.h"

namespace brimvale::app {

void addActivityRoutes(web::DashboardServer& server, const DashboardSources& sources) {
  server.get("jobs", [&sources] {
    transfers::BackgroundJobsStore ledger(sources.paths.state, systemClock());
    const std::string json =
        jobsJson(transfers::latestPerKind(ledger.readJobs()), ledger.readIssues());
    return web::Reply{.body = json};
  });
  server.get("notifications", [&sources] {
    auto delivered =
        platform::readDeliveredNotifications(sources.paths.state / kDeliveredNotificationsFile);
    if (!delivered) return web::sentenceReply(503, delivered.error().message());
    return web::Reply{.body = notificationsJson(*delivered)};
  });
  server.get("move-log", [&sources] {
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream noAnswers;
    MoverCommandContext context = moverContextFor(sources, out, err, noAnswers);
    if (moveLogCommand(context, "", mover::MoverLogDetail::kPhases) != 0) {
      return web::sentenceReply(503, err.str());
    }
    nlohmann::json lines = nlohmann::json::array();
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return web::jsonReply({{"lines", lines}});
  });
}

}  // namespace brimvale::app
