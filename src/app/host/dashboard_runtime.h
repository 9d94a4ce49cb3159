// The dashboard inside `brimvale run`: the local web server and its routes,
// started with the application and stopped at quit.
#pragma once

#include <memory>

#include "app/core/app_log.h"
#include "app/dashboard/dashboard_routes.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

class DashboardRuntime {
 public:
  DashboardRuntime(DashboardSources sources, AppLog& log);
  ~DashboardRuntime();

  // Starts serving; a failure is logged and the rest of the application runs on.
  void start();
  // Stops serving and waits for a clean-up still running. Safe to repeat.
  void stop();

 private:
  DashboardSources sources_;
  AppLog& log_;
  std::unique_ptr<web::DashboardServer> server_;
  std::unique_ptr<DashboardRoutes> routes_;
};

}  // namespace brimvale::app
