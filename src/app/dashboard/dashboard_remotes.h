// The dashboard's remotes: whether rclone is installed (and a re-check once
// the user has installed it), the remote list, adding an account through its
// form, showing and editing one, its connection test and its removal — all
// through `brimvale remotes`'s own code.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

class RemotesRoutes {
 public:
  RemotesRoutes(const DashboardSources& sources, web::DashboardServer& server);

 private:
  web::Reply rclone();
  // Runs `brimvale remotes WORDS` with the options and secret of `body`.
  web::Reply remotes(const std::vector<std::string>& words, const nlohmann::json& body, bool json);

  const DashboardSources& sources_;
};

}  // namespace brimvale::app
