// The items of a rule run as the service lists them (`brim-vale dry-run
// --items`), shown as the rules preview, saved as its JSON and handed back to
// the service (`relocate-now --only FILE`) for a run of just those items.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/listing_order.h"
#include "common/base/error.h"
#include "common/state/exclude_list.h"

namespace brimvale::app {

struct RulePreviewItem {
  std::string path;
  std::int64_t bytes = 0;
  std::time_t modified = 0;
  std::string rule;         // archive_old, archive_big, delete_old or app_cache_clean
  std::string action;       // move, delete or trash
  std::string destination;  // the folder on the drive a move files it under
};

// A previewed item the service would no longer act on, and why: "changed"
// (its size or time), "not_chosen" (the rules no longer choose it as
// previewed) or "gone".
struct RulePreviewLeft {
  std::string path;
  std::string why;
};

struct RulePreview {
  std::vector<RulePreviewItem> items;
  std::vector<RulePreviewLeft> left;
  KeptByExcludes kept;
  bool drivePresent = true;
  bool complete = false;  // the listing ended with its totals
};

// The item, left and totals lines of `dry-run --items` output; other lines
// are not the listing's.
[[nodiscard]] RulePreview parseRuleListing(std::string_view output);

// The items as the service reads them back: one JSON line each.
[[nodiscard]] std::string ruleListingLines(const std::vector<RulePreviewItem>& items);

// The items of a saved `brimvale rules --preview --json`; an error when it is
// not one.
[[nodiscard]] Result<std::vector<RulePreviewItem>> parseSavedRulePreview(std::string_view json);

void sortRulePreview(std::vector<RulePreviewItem>& items, std::optional<ListingOrder> order);

// The preview as `rules --preview --json` prints it; ages count back from `now`.
[[nodiscard]] std::string rulePreviewJson(const RulePreview& preview, std::time_t now);

// The items in aligned columns with their total, then what the excludes kept.
[[nodiscard]] std::string rulePreviewText(const RulePreview& preview, std::time_t now);

// A sentence for each kind of change since the preview, naming the items;
// empty when nothing changed.
[[nodiscard]] std::string changedSinceRulePreview(const std::vector<RulePreviewLeft>& left);

}  // namespace brimvale::app
