// The dashboard's transfers page: the cloud transfer list, a new transfer
// run with its progress lines as live events (and cancelled from the page),
// pausing, resuming and cancelling one by id or every one waiting for the
// drive, and the remotes — all through `brimvale transfers` and `brimvale
// remotes`'s own code.
#pragma once

#include <atomic>

#include "app/core/transfers_command.h"
#include "app/dashboard/dashboard_remotes.h"
#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

class TransfersRoutes {
 public:
  TransfersRoutes(const DashboardSources& sources, web::DashboardServer& server);
  ~TransfersRoutes();

 private:
  web::Reply list();
  // A change that only prints a sentence: cancel-all-waiting, clear.
  web::Reply runChange(const TransfersOptions& options);
  web::Reply start(const nlohmann::json& body);
  web::Reply change(const std::string& action, const nlohmann::json& body);

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  RemotesRoutes remotes_;
  std::atomic<bool> stopNew_{false};  // cancels the transfer started here
  JobThread new_;                     // last: joined first
};

}  // namespace brimvale::app
