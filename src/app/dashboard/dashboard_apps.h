// The dashboard's apps page: the catalogue with its location, category and
// age filters, sort orders, tier badges and reasons, and what the inspection
// of one app found (its privacy permissions above all); moving, moving back,
// offloading and restoring an app and answering a reinstall's permission
// review, with their lines as live events — all through `brimvale apps`'s
// own code.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

class AppsRoutes {
 public:
  AppsRoutes(const DashboardSources& sources, web::DashboardServer& server);
  ~AppsRoutes();

 private:
  web::Reply list(const nlohmann::json& body);
  web::Reply act(const nlohmann::json& body);
  web::Reply reviews();
  web::Reply inspect(const nlohmann::json& body);

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  platform::Platform base_;  // tells which programs run
  JobThread job_;            // last: joined first
};

}  // namespace brimvale::app
