// `brimvale snapshots`, `brimvale home` and `brimvale care`: the restore-point
// manager, the home screen and the one-tap clean-up, wired to this machine's
// service, settings, ledger and disks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/confirm_hook.h"
#include "app/core/listing_order.h"
#include "app/core/status_reader.h"
#include "care/home_guidance.h"
#include "care/movable_apps.h"
#include "common/state/paths.h"
#include "platform/app_platform.h"

namespace brimvale::app {

struct CareCommandHost {
  StatePaths paths;
  platform::AppPlatform& platform;
  std::string rsyncPath;     // handed to the service; may be empty
  std::string snapshotTool;  // the restore-point tool; empty when there is none
  std::ostream& out;
  std::ostream& err;
  bool json = false;                  // show the home screen, the snapshots and the plan as JSON
  ProcessRunner run = {};             // how the service and the restore-point tool run
  ConfirmHook confirm = {};           // decides on a clean-up run; empty: go ahead
  std::optional<ListingOrder> order;  // how the preview is sorted; scan order when empty
  std::filesystem::path previewFile;  // the saved preview kFromPreview acts on
};

// `list` (the default), `delete STAMP`, `thin BYTES URGENCY` or
// `destination`. 0 on success, 1 when the tool failed or refused, 2 for a
// request that is not one of these.
[[nodiscard]] int snapshotsCommand(CareCommandHost& host, const std::vector<std::string>& args);

// Prints the home screen and, once Zozad Evev has run, its stored summary.
[[nodiscard]] int homeCommand(CareCommandHost& host);

enum class CareMode { kRun, kPlanOnly, kPreview, kFromPreview, kList };

// Sizes the plan and either shows it (kPlanOnly), lists each item it would
// delete with its size, age and category (kPreview), or, once `confirm` agrees,
// runs it, printing each step's progress line and then the summary. 1 when
// paused (nothing runs), when the plan could not be sized, when `confirm`
// stopped it, or when a step did not finish. A run,
// kFromPreview deletes only the items of a saved preview that the scan still
// chooses, no bigger than shown, and says what changed since. A run,
// whatever its end, goes into the background-job ledger, and what it removed
// into its own record, which kList shows (path and size of each item).
[[nodiscard]] int careCommand(CareCommandHost& host, CareMode mode);

// The home screen's facts from the decoded status snapshot (free space,
// drive, pause, the configured thresholds) and the other sources. Bytes
// become whole decimal GB, rounded down. `cloudAccounts` is 0 until cloud
// accounts exist.
[[nodiscard]] care::HomeFacts homeFactsFrom(const ServiceStatus& status,
                                            std::int64_t purgeableBytes, std::int64_t cloudAccounts,
                                            const care::MovableApps& apps);

}  // namespace brimvale::app
