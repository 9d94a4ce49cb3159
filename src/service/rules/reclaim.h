// Deleting one fixed, allow-listed category of regenerable clutter
// (developer caches, system log noise, old Trash) and sizing all three.
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"
#include "service/rules/clutter_places.h"

namespace brimvale::service {

// `reclaim {devcaches|syslog|trash}`: deletes the category's candidates
// (open and cloud items are left alone) and ends with one JSON line. Exit 1
// for another category, while paused or while another rule run or clean-up
// holds the lock (a JSON error line says which). What the path policy
// refuses (a category folder that is a link, say) is left alone and its
// sentences are added to the JSON line as "refused". In a freedesktop Trash
// an item's record decides its age; items without one are left alone and
// their number is added as "unrecorded". `--only FILE` (a JSON array of
// paths) deletes only those of the candidates, as a run from a preview does.
int reclaimCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// `reclaim-scan`: one JSON line per category with what reclaim would free.
// With `--items`, each item it would delete first gets its own line
// ({"category","path","bytes","aged_from"}: the time its age counts from).
int reclaimScanCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// The two commands over the folders of `layout` (the commands above use this
// platform's).
int reclaimIn(HomeLayout layout, ServiceContext& ctx, const std::vector<std::string>& args);
int reclaimScanIn(HomeLayout layout, ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
