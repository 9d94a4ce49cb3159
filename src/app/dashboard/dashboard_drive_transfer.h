// The dashboard's drive transfer: check a drive, start a backup or a
// transfer, pause, resume or cancel it, all through `brimvale
// drive-transfer`'s own code; the job's status line goes out live as the
// service's supervisor rewrites state/transfer-job.json.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/dashboard/dashboard_poller.h"
#include "app/dashboard/dashboard_sources.h"
#include "common/state/drive_transfer_job.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// What the page shows of the job read from transfer-job.json (nullopt: no
// file or not JSON): whether one exists ("active"), its phase and kind, the
// status line (none once done), the result sentence once it ended (empty
// before), its last error and progress figures. `switching`: the drive switch runs now.
[[nodiscard]] nlohmann::json driveTransferView(const std::optional<DriveTransferJob>& job,
                                               bool switching);

class DriveTransferRoutes {
 public:
  // Registers the routes and a look at the job file on `poller`.
  DriveTransferRoutes(const DashboardSources& sources, web::DashboardServer& server,
                      StatePoller& poller);

 private:
  web::Reply check(const nlohmann::json& body);
  web::Reply start(const nlohmann::json& body);
  web::Reply change(const std::string& verb);
  // Runs `brimvale drive-transfer ARGS`; its status, what it printed, what it complained of.
  int run(const std::vector<std::string>& args, bool json, std::string& out, std::string& err);
  void look();
  // The job as the page shows it, read now.
  [[nodiscard]] nlohmann::json currentView() const;

  const DashboardSources& sources_;
  web::DashboardServer& server_;
  std::string lastSeen_;  // the view sent at the last look (poller thread only)
};

}  // namespace brimvale::app
