#include "app/host/dashboard_runtime.h"

#include <ctime>

namespace brimvale::app {

DashboardRuntime::DashboardRuntime(DashboardSources sources, AppLog& log)
    : sources_(std::move(sources)), log_(log) {}

DashboardRuntime::~DashboardRuntime() { stop(); }

void DashboardRuntime::start() {
  if (server_) return;
  server_ = std::make_unique<web::DashboardServer>(sources_.paths.state,
                                                   [] { return std::time(nullptr); });
  routes_ = std::make_unique<DashboardRoutes>(sources_, *server_);
  if (auto started = server_->start(); !started) {
    log_.write("Dashboard: not started, so only the command line works for now: " +
               started.error().message());
    routes_.reset();
    server_.reset();
    return;
  }
  log_.write("Dashboard: serving on " + server_->origin() + "; open it with `brimvale open`");
}

void DashboardRuntime::stop() {
  if (!server_) return;
  server_->stop();
  routes_.reset();
  server_.reset();
}

}  // namespace brimvale::app
