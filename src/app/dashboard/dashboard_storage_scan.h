// The storage page's breakdown: the service's storage scan run from the
// page, each probe's row sent as a live event the moment it is measured and
// the scan kept, and what grew between the kept scans.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

class StorageScanRoutes {
 public:
  StorageScanRoutes(const DashboardSources& sources, web::DashboardServer& server);

 private:
  void scan();
  [[nodiscard]] nlohmann::json growth() const;

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  JobThread job_;  // last: joined first
};

}  // namespace brimvale::app
