// The dashboard's remotes: whether rclone is installed (and a re-check once
// the user has installed it), the remote list, adding an account through its
// form or its browser sign-in (steps and the sign-in address as live events,
// and cancelled from the page), showing and editing one, its connection test
// and its removal — all through `brimvale remotes`'s own code.
#pragma once

#include <atomic>

#include "app/dashboard/dashboard_sources.h"
#include "cloud/rclone_auth.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

class RemotesRoutes {
 public:
  RemotesRoutes(const DashboardSources& sources, web::DashboardServer& server);
  ~RemotesRoutes();

 private:
  web::Reply rclone();
  // Runs `brimvale remotes WORDS` with the options and secret of `body`.
  web::Reply remotes(const std::vector<std::string>& words, const nlohmann::json& body, bool json);
  web::Reply signIn(const nlohmann::json& body);
  // `brimvale remotes WORDS` itself, its secret and options from `body`.
  int run(const std::vector<std::string>& words, const nlohmann::json& body, std::ostream& out,
          std::ostream& err, cloud::BrowserOpener opener, bool json = false);

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  std::atomic<bool> cancelSignIn_{false};
  JobThread signIn_;  // last: joined first
};

}  // namespace brimvale::app
