// The dashboard's relocated folders: the list with each one's integrity,
// bringing one home with its progress lines as events, and clearing away a
// broken one — all through `brimvale relocated`'s own code.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// The item id a request names (a whole id or the start of one); empty when
// it is missing or holds anything but letters, digits and dashes.
[[nodiscard]] std::string relocatedItemId(const nlohmann::json& body);

class RelocatedRoutes {
 public:
  RelocatedRoutes(const DashboardSources& sources, web::DashboardServer& server);

 private:
  web::Reply list();
  web::Reply moveBack(const nlohmann::json& body);
  web::Reply remove(const nlohmann::json& body);

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  JobThread moveBack_;  // last: joined first
};

}  // namespace brimvale::app
