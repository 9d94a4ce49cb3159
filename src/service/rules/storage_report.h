// Where the space goes: the streamed scan of well-known space consumers and
// the usage-history row the charts are drawn from.
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"
#include "service/rules/clutter_places.h"

namespace brimvale::service {

// `scan-storage`: a "started" line, one JSON line per probe that exists and
// can be measured (printed as soon as it is measured), and a "done" line with
// the count and the total. Always 0.
int scanStorageCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// The scan over the probes of `layout` (the command uses this platform's).
int scanStorageIn(HomeLayout layout, ServiceContext& ctx);

// The history row for now: UTC time, internal and drive space in decimal GB
// (drive 0 unless usable), cumulative saved bytes, and per-folder MiB.
[[nodiscard]] std::string historyRow(ServiceContext& ctx);

// `snapshot`: appends the row capped at HISTORY_MAX_DAYS and says when.
int snapshotCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
