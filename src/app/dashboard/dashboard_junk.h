// The dashboard's scrap board: the list with its board and date filters,
// search, adding a text or a note, saving the clipboard, pin, unpin, a new lifetime, copy back to
// the clipboard, saving into a folder, delete, clear all, the board's
// settings and image thumbnails — each through `brimvale junk`'s own code
// (thumbnails through its store), so the page keeps its rules.
#pragma once

#include "app/dashboard/dashboard_sources.h"
#include "web/dashboard_server.h"

namespace brimvale::app {

// POST /api/junk/{list,search,add,note,capture,pin,unpin,lifetime,copy,save,
// delete,clear,setting}. List and search take {"filter", "date"} and answer as
// `brimvale junk list|search --json`; search also {"query"}; add and note
// {"text", "ttl"}; capture {}; pin, unpin, copy and delete {"id"}; lifetime {"id",
// "ttl"}; save {"id", "folder", "replace"}; clear {"confirmed": true}, the
// page having asked; setting {"key", "value"}. GET /api/junk/settings
// answers as `brimvale junk settings --json`; GET /api/junk/thumbnail?id=ID
// is the PNG thumbnail of an image scrap.
// `sources` must outlive `server`'s routes.
void addJunkRoutes(web::DashboardServer& server, const DashboardSources& sources);

}  // namespace brimvale::app
