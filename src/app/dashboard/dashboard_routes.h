// The dashboard's JSON routes over the engines `brimvale` already has: the
// home screen, the one-tap clean-up with its live step lines, the status
// snapshot, the usage-history chart and folder moves (the checks first, then
// the move with live progress, and the list of moves). Each answers what the matching
// command prints with --json (docs/json-schemas.md).
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/core/run_loop.h"
#include "app/dashboard/dashboard_sources.h"
#include "common/state/path_policy.h"
#include "common/state/paths.h"
#include "platform/app_platform.h"
#include "platform/platform.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

struct CareCommandHost;
class RelocatedRoutes;
class AppsRoutes;
class TransfersRoutes;
class AutoSyncRoutes;
class DriveTransferRoutes;
class StorageScanRoutes;
class AppMoveWatch;
class StatePoller;

// Registers the routes on `server`; owns the threads of the clean-up and the moves.
class DashboardRoutes {
 public:
  DashboardRoutes(DashboardSources sources, web::DashboardServer& server);
  // Waits for a clean-up or move still running (a move stops at the
  // application's own SIGTERM, a clean-up only at its end).
  ~DashboardRoutes();
  DashboardRoutes(const DashboardRoutes&) = delete;
  DashboardRoutes& operator=(const DashboardRoutes&) = delete;

 private:
  web::Reply careJson(const std::function<int(CareCommandHost&)>& command);
  web::Reply home();
  web::Reply carePlan();
  web::Reply carePreview();
  // With "items" (a preview's, as `care-preview` gave them, less those the
  // user unticked) the run clears only those that still qualify.
  web::Reply startCare(const nlohmann::json& body);
  web::Reply storage();
  web::Reply historyChart();
  web::Reply checkMove(const nlohmann::json& body);
  web::Reply startMove(const nlohmann::json& body);
  web::Reply cancelMove();
  web::Reply moves();
  void runCare(const std::filesystem::path& previewFile);
  void runMove(std::string folder);

  DashboardSources sources_;
  web::DashboardServer& server_;
  PathPolicy policy_;
  std::mutex moveLoopMutex_;
  RunLoop* moveLoop_ = nullptr;  // the page's move while it runs
  // Declared last: destroyed (joined) first, while what they use still exists.
  std::unique_ptr<RelocatedRoutes> relocated_;
  std::unique_ptr<AppsRoutes> apps_;
  std::unique_ptr<TransfersRoutes> transfers_;
  std::unique_ptr<AutoSyncRoutes> autoSync_;
  std::unique_ptr<DriveTransferRoutes> driveTransfer_;
  std::unique_ptr<StorageScanRoutes> storageScan_;
  std::unique_ptr<AppMoveWatch> appMoves_;
  std::unique_ptr<StatePoller> poller_;         // after what it looks through: stopped before them
  std::unique_ptr<StatePoller> appMovePoller_;  // the app-move records, more often
  JobThread care_;
  JobThread move_;
};

}  // namespace brimvale::app
