// `brimvale rules`: the configured rules in sentences, the item-by-item
// preview of a rule run, and a run of what was shown (all of it, or the
// items of a saved preview), through the service's own rule run.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "app/core/confirm_hook.h"
#include "app/core/listing_order.h"
#include "common/base/process.h"
#include "common/state/paths.h"

namespace brimvale::app {

struct RulesCommandHost {
  const StatePaths& paths;
  std::string rsyncPath;
  std::ostream& out;
  std::ostream& err;
  ProcessRunner run;
  ConfirmHook confirm = {};           // decides on a run; empty: go ahead
  bool json = false;                  // the preview as JSON
  std::optional<ListingOrder> order;  // the preview's order; the rules' own when empty
  std::filesystem::path previewFile;  // a saved preview the run is limited to
};

enum class RulesMode { kList, kPreview, kRun };

// kList says each configured rule in a sentence. kPreview lists each item a
// rule run would act on now, with the totals and what the excludes kept.
// kRun shows that list (limited to the saved preview's items still as they
// were, naming the others), asks through `confirm`, has the service act on
// exactly those items, and says what it moved, deleted or sent to the Trash
// once it has checked on disk. 1 when a run could not start or left an item
// it was to act on.
[[nodiscard]] int rulesCommand(RulesCommandHost& host, RulesMode mode);

}  // namespace brimvale::app
