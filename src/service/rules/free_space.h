// The "Free Up Space" run behind the application's main button: relocate by
// rule, clean application caches, optionally evict downloaded cloud files,
// then report and write state/last-free-space.txt.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "service/core/service_context.h"
#include "service/rules/cloud_eviction.h"

namespace brimvale::service {

// How the cache step went.
enum class CacheStepOutcome {
  kCleanedByRule,     // the app_cache_clean rule of step 1 cleaned some
  kRuleFoundNothing,  // that rule ran and its age floor left nothing: no fallback
  kFallbackRan,       // no cache rule ran (none set, or no drive): the plain clean-up did
};

// One cloud folder the cloud step came to.
struct CloudRootVisit {
  std::string label;
  bool enabled = false;  // false: the allow-list leaves it out
};

// The cloud step, when it runs.
struct CloudStepOutcome {
  std::string allowList;  // empty: every detected provider
  std::vector<CloudRootVisit> roots;
  EvictionCounters counters;
};

// What a free-space run decided and found, filled in as it goes.
struct FreeSpaceOutcome {
  int exitCode = 0;  // 1 while paused or when another rule run holds the lock
  std::string startedAt;
  bool paused = false;
  std::size_t steps = 2;   // 3 with the cloud step
  bool cacheRule = false;  // the rules include app_cache_clean
  bool driveUsable = false;
  bool ruleRunFailed = false;
  CacheStepOutcome cacheStep = CacheStepOutcome::kFallbackRan;
  std::uint64_t moved = 0;
  std::uint64_t cachesCleaned = 0;
  std::optional<CloudStepOutcome> cloud;
  std::uint64_t beforeBytes = 0;
  std::uint64_t afterBytes = 0;
  std::int64_t beforeGb = 0;
  std::int64_t afterGb = 0;
  std::uint64_t appsBytes = 0;  // disk usage of /Applications
  std::uint64_t documentsBytes = 0;
  std::uint64_t appsGb = 0;
  std::uint64_t documentsGb = 0;
  std::uint64_t desktopGb = 0;
  std::size_t snapshots = 0;
  std::string finishedAt;
};

// The points where the run has something to say. The steps' own tools print
// their lines in between, so the text streams while the run goes on.
enum class FreeSpaceMoment {
  kStarted,
  kPaused,
  kRelocationStarted,
  kRuleRunFailed,
  kRelocationSkipped,
  kCacheStepStarted,
  kCloudStepStarted,
  kCloudRootReached,  // the last of cloud->roots
  kCloudStepEnded,
  kFinished,
};

using FreeSpaceObserver = std::function<void(const FreeSpaceOutcome&, FreeSpaceMoment)>;

// Runs the steps, telling `observe` at each moment, and returns the outcome.
// Stops early while paused or when another rule run holds the lock (which
// the service log reports).
[[nodiscard]] FreeSpaceOutcome runFreeSpace(ServiceContext& ctx, const FreeSpaceObserver& observe);

// The text the command prints at `moment`.
void renderFreeSpace(const FreeSpaceOutcome& outcome, FreeSpaceMoment moment, std::ostream& out);

// `free-space`: exit 1 while paused, else 0; a missing drive skips only the
// relocation step.
int freeSpaceCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
