// A clean-up run from a saved preview (`care --preview --json`): what of it
// still qualifies now, by the same scan the clean-up runs, and what changed
// since it was shown.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "care/care_plan.h"
#include "common/base/error.h"

namespace brimvale::care {

// The items of a saved preview; an error when it is not one.
[[nodiscard]] Result<std::vector<ReclaimItem>> parsePreview(std::string_view json);

struct PreviewCheck {
  std::vector<ReclaimItem> toClear;      // previewed and still due, no bigger than shown
  std::vector<ReclaimItem> gone;         // no longer there
  std::vector<ReclaimItem> grown;        // still due but bigger than shown: left alone
  std::vector<ReclaimItem> noLongerDue;  // there, but the scan no longer chooses it
};

// Sorts each previewed item by what `dueNow` (this moment's scan) and
// `exists` say of it. Items the scan chooses that the preview did not show
// are in no list: a run from a preview never adds to it.
[[nodiscard]] PreviewCheck checkPreview(const std::vector<ReclaimItem>& previewed,
                                        const std::vector<ReclaimItem>& dueNow,
                                        const std::function<bool(const std::string&)>& exists);

// A sentence for each kind of change since the preview, naming the items;
// empty when nothing changed.
[[nodiscard]] std::string changedSince(const PreviewCheck& check);

}  // namespace brimvale::care
