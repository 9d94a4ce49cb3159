// The dashboard's rule editor: the RULES block of brim-vale.conf as rows,
// read and saved through the same editor code the application uses.
#pragma once

#include "common/state/path_policy.h"
#include "common/state/paths.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// GET /api/rules and POST /api/rules. A saved row whose source the path
// policy refuses, an action the editor doesn't know or an age below 0 is
// refused whole (400 or 403), leaving the file as it was. `policy` must
// outlive `server`'s routes.
void addRuleRoutes(web::DashboardServer& server, const StatePaths& paths, const PathPolicy& policy);

}  // namespace brimvale::app
