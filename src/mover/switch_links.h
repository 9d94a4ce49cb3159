// The switch to a new drive, its link side: finding the links at relocated
// places that point into the old working folder, and re-pointing one link at
// a time so that its name never goes missing.
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/best_effort.h"
#include "common/base/file_operations.h"
#include "mover/switch_checks.h"

namespace brimvale::mover {

// One link to re-point: where it is and where it will point.
struct LinkUpdate {
  std::filesystem::path link;
  std::filesystem::path newTarget;
  // Absolute: what the link led to when found. Empty: any link at that name
  // may be replaced (the privileged step, which is handed names only).
  std::filesystem::path oldTarget;
  bool operator==(const LinkUpdate&) const = default;
};

struct LinksFound {
  std::vector<LinkUpdate> updates;  // in path order
  // A link whose copy is not on the new drive (re-pointing it would leave a
  // dangling link); nothing is changed while there is one.
  std::optional<std::filesystem::path> missingCopy;
};

// Every link at or below `places` (links not followed) whose target, taken
// from the link's own folder when relative, lies in the old working folder.
// A place that is itself a link counts; a folder is walked.
[[nodiscard]] LinksFound collectLinks(const std::vector<std::filesystem::path>& places,
                                      const SwitchRoute& route);

// Whether the user may create and rename names in the link's folder; links
// in folders that need administrator rights go through the privileged step.
[[nodiscard]] bool parentWritable(const std::filesystem::path& link);

// How re-pointing one link went.
enum class SwapStage {
  kDone,
  kNotPrepared,
  kNotSwapped,
  kReplacedMeanwhile,  // no longer the link found: what is there now was left alone
};

// Makes the new link under a temporary name beside the old one, renames it
// over the old one (only while a link is still there) and checks the result
// points where it should. The test-build stop points "switch:link-prepared"
// and "switch:link-swapped" are passed.
[[nodiscard]] SwapStage swapLink(const LinkUpdate& update, FileOperations& files,
                                 const DiagnosticsLog& diagnostics);

// Removes, from the folders holding `updates`, the temporary links an
// interrupted earlier swap left behind (see isRelinkLeftover: only those
// pointing into the new working folder). The number removed.
int removeSwapLeftovers(const std::vector<LinkUpdate>& updates, const SwitchRoute& route,
                        FileOperations& files, const DiagnosticsLog& diagnostics);

// The link points at `target` and the target is there.
[[nodiscard]] bool pointsAt(const std::filesystem::path& link, const std::filesystem::path& target);

}  // namespace brimvale::mover
