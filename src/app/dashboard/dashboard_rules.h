// The dashboard's rule editor: the RULES block of brim-vale.conf as rows,
// read and saved through the same editor code the application uses.
#pragma once

#include <expected>
#include <vector>

#include "app/core/rule_editor.h"
#include "app/dashboard/dashboard_sources.h"
#include "common/state/path_policy.h"
#include "common/state/paths.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// GET /api/rules and POST /api/rules. A saved row whose source the path
// policy refuses, an action the editor doesn't know or an age below 0 is
// refused whole (400 or 403), leaving the file as it was. `policy` must
// outlive `server`'s routes.
// The rows a POST names, in order; or the refusal: 400 for a row that isn't
// an object with an offered action, text folders and a whole number of days
// from 0, 403 (the policy's sentence) for a source the path policy refuses.
// Rules cleaning app caches name no source of their own and aren't checked.
[[nodiscard]] std::expected<std::vector<RuleRow>, web::Reply> rulesFromRequest(
    const nlohmann::json& body, const PathPolicy& policy);

void addRuleRoutes(web::DashboardServer& server, const StatePaths& paths, const PathPolicy& policy);

// GET /api/rules-preview: `brimvale rules --preview --json`. POST
// /api/rules-run {"items": [...]} (the preview's items, less those the user
// unticked): runs the rules on those still as previewed, as `brimvale rules
// run --from-preview` does, and answers {"ok", "report", "problems"} with
// what it said.
void addRulePreviewRoutes(web::DashboardServer& server, const DashboardSources& sources);

}  // namespace brimvale::app
