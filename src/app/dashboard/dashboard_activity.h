// The dashboard's activity page: the background-job ledger per kind, the
// notifications showing and the folder mover's log, each as the matching
// command shows it.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// GET /api/jobs (as `brimvale jobs --json`), /api/notifications (as
// `brimvale notifications --json`) and /api/move-log ({"lines": [...]}, the
// phases of every move as `brimvale move-log` prints them). `sources` must
// outlive `server`'s routes.
void addActivityRoutes(web::DashboardServer& server, const DashboardSources& sources);

}  // namespace brimvale::app
