// The dashboard's preferences: every setting of the catalogue, shown and
// changed through the same command code as `brimvale settings`.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// GET /api/settings (as `brimvale settings --json`) and POST /api/settings
// {"name", "value"} (as `brimvale settings NAME VALUE`): 200 {"message"}
// once saved, 400 for a name or value the setting can't take, 503 when the
// store can't be written; nothing is written unless the value is accepted.
// GET /api/excludes (as `brimvale settings excludes --json`) and POST
// /api/excludes {"verb": "add"|"remove", "entry"} answer the same way for the
// exclude list. `sources` must outlive `server`'s routes.
void addSettingsRoutes(web::DashboardServer& server, const DashboardSources& sources);

}  // namespace brimvale::app
