// The dashboard's scrap board: the list with its board and date filters,
// search, adding a text or a note, pin, unpin, delete and clear all — each
// through `brimvale junk`'s own code, so the page keeps its rules.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// POST /api/junk/{list,search,add,note,pin,unpin,delete,clear}. List and
// search take {"filter", "date"} and answer as `brimvale junk list|search
// --json`; search also {"query"}; add and note {"text", "ttl"}; pin, unpin
// and delete {"id"}; clear {"confirmed": true}, the page having asked.
// `sources` must outlive `server`'s routes.
void addJunkRoutes(web::DashboardServer& server, const DashboardSources& sources);

}  // namespace brimvale::app
