// Runs a one-tap clean-up: sizes the plan with the service's `reclaim-scan`,
// runs each step's routine in order with a short pause between steps,
// measures what each step freed, and keeps the run record and all-time total.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "care/care_plan.h"
#include "care/care_summary.h"
#include "common/base/error.h"
#include "common/base/process.h"
#include "common/state/exclude_list.h"
#include "platform/user_defaults.h"

namespace brimvale::care {

inline constexpr std::chrono::milliseconds kPauseBetweenSteps{400};

// The run record, rewritten after every run.
inline constexpr std::string_view kLastRunAtKey = "SmartCareLastRunAt";
inline constexpr std::string_view kLastRunFreedBytesKey = "SmartCareLastRunFreedBytes";
inline constexpr std::string_view kLastRunCoverageKey = "SmartCareLastRunCoverage";
inline constexpr std::string_view kLastSummaryKey = "SmartCareLastSummary";

// Runs `brim-vale {args}` to its end (each caller applies its own time limit).
using ServiceCommandRunner = std::function<ProcessResult(const std::vector<std::string>& args)>;

// The routines the steps delegate to. Every member must be set.
struct CareRoutines {
  ServiceCommandRunner service;
  // Thins the restore points (everything, at the most urgent level); the
  // failure's sentence when it did not work.
  std::function<std::optional<std::string>()> thinSnapshots;
  // Free bytes of the internal disk now; absent when it cannot be read.
  std::function<std::optional<std::int64_t>()> internalFreeBytes;
  // Waits between steps.
  std::function<void(std::chrono::milliseconds)> pause;
};

struct SizedPlan {
  std::vector<CareStep> steps;
  std::vector<ReclaimFigures> scan;  // what `reclaim-scan` found per category
  // Each item the plan's reclaim steps would delete (only when asked for).
  std::vector<ReclaimItem> items;
};

// What the user's excludes kept out of every category the scan sized.
[[nodiscard]] KeptByExcludes keptByExcludesIn(const SizedPlan& plan);

// Runs `reclaim-scan` and keeps only the reclaim categories with something
// to free (see sizedPlan). Fails when the scan does not finish with status 0
// and three category lines. `withItems` also lists what those steps would
// delete, item by item, from the same scan.
[[nodiscard]] Result<SizedPlan> sizePlan(const std::vector<CareStep>& plan,
                                         const ServiceCommandRunner& service,
                                         bool withItems = false);

struct StepResult {
  CareStep step;
  bool finished = false;
  // The reclaim result's freed_bytes for reclaim steps; otherwise the growth
  // of the internal disk's free space while the step ran (never negative:
  // other programs writing meanwhile do not make a step cost space).
  std::int64_t freedBytes = 0;
  bool trashLeftAlone = false;  // the reclaim said "only move, never delete"
  std::string problem;          // why it did not finish
  // What the service refused to touch (sentences); such a step did not
  // finish, whatever else it freed.
  std::string refusal;
};

// Runs every step in order, calling `onStep` with each progress line just
// before its routine starts. A step that fails does not stop the others.
// The cloud step evicts every root `list-cloud-roots` lists.
[[nodiscard]] std::vector<StepResult> runSteps(const std::vector<CareStep>& steps,
                                               const CareRoutines& routines,
                                               const std::function<void(std::string_view)>& onStep);

// The summary's inputs: the bytes all steps freed, the steps that finished
// (a Trash step the setting kept is not one of them), `allTimeText` and the
// untouched Trash (what the scan found "only move, never delete" keeps, or
// the whole scanned Trash when the setting kept it from the Trash step).
[[nodiscard]] CareOutcome outcomeOf(const std::vector<StepResult>& results, const SizedPlan& plan,
                                    std::string allTimeText);

// A sentence per step that did not finish, saying the files are safe; a
// step the service refused in part shows the refusal itself.
[[nodiscard]] std::string problemLines(const std::vector<StepResult>& results);

struct CareRunRecord {
  std::time_t at = 0;
  std::int64_t freedBytes = 0;
  std::vector<CareStep> coverage;  // the steps that finished
  std::string summary;
};

// Stores the record: the time as ISO-8601 UTC, the coverage as the steps'
// raw strings joined with ",". Stops at the first write that fails.
[[nodiscard]] Result<void> storeRunRecord(platform::UserDefaults& defaults,
                                          const CareRunRecord& record);

// Adds `bytes` to the running total of bytes freed (a decimal integer in
// `file`, 0 when missing) and returns the new total. A file that does not
// hold a number is left as it is and reported as a parse failure.
[[nodiscard]] Result<std::int64_t> addToAllTimeSaved(const std::filesystem::path& file,
                                                     std::int64_t bytes);

}  // namespace brimvale::care
