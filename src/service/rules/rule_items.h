// The items of a rule run one by one: `dry-run --items` lists each as a JSON
// line, and `relocate-now --only FILE` acts only on the listed items the
// rules still choose, unchanged since they were listed. Both go through the
// rule run itself, so what is listed is what a run would take.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "common/base/error.h"
#include "common/state/exclude_list.h"
#include "service/core/service_context.h"

namespace brimvale::service {

// One item a rule chose, as it is now.
struct RuleItem {
  std::string path;
  std::uint64_t bytes = 0;
  std::int64_t mtime = 0;
  std::string rule;         // archive_old, archive_big, delete_old or app_cache_clean
  std::string action;       // move, delete or trash
  std::string destination;  // the folder a move files it under; empty otherwise
};

// `path` measured now (size on disk and last change) as chosen by `rule`.
[[nodiscard]] RuleItem measuredItem(const std::string& path, std::string rule, std::string action,
                                    std::string destination = {});

// {"path","bytes","mtime","rule","action"[,"destination"]}
[[nodiscard]] std::string ruleItemLine(const RuleItem& item);

// Which of the items the rules choose a run takes, and where a listing goes.
// The default takes every item, as the plain runs do.
class ItemChoice {
 public:
  ItemChoice() = default;
  // A dry run that prints one line per item on `out` instead of its "WOULD"
  // lines and ends with the totals ({"items","bytes","kept_items",
  // "kept_bytes","drive_present"}).
  static ItemChoice listingOn(std::ostream& out, bool drivePresent);
  // Limits the run to the item lines of `file` (what `dry-run --items`
  // printed; other lines are skipped). Fails when it cannot be read.
  [[nodiscard]] Result<void> limitTo(const std::filesystem::path& file);

  // Whether items must be measured for takes(): listed or compared.
  [[nodiscard]] bool measures() const { return list_ != nullptr || only_.has_value(); }
  [[nodiscard]] bool lists() const { return list_ != nullptr; }
  // Whether `path` may be taken at all, before it is measured.
  [[nodiscard]] bool considers(const std::string& path) const {
    return !only_ || only_->contains(path);
  }
  // Whether the run takes `item`: always, unless limited to listed items,
  // then only one listed with the same action, destination, size and time.
  // A listing prints what it takes.
  bool takes(const RuleItem& item);
  // Ends the run. Each listed item it did not take is said (a listing gives
  // {"path","left"} lines: "changed", "not_chosen" or "gone"); a listing
  // then prints its totals.
  void finish(ServiceContext& ctx, const KeptByExcludes& kept);

 private:
  std::ostream* list_ = nullptr;
  bool drivePresent_ = true;
  std::optional<std::map<std::string, RuleItem>> only_;
  std::set<std::string> taken_;
  std::map<std::string, std::string> changed_;  // path: what changed
  std::uint64_t items_ = 0;
  std::uint64_t bytes_ = 0;
};

// The value of `--only FILE` among `args`; nothing without one, an empty
// path when FILE is missing.
[[nodiscard]] std::optional<std::filesystem::path> onlyFileArgument(
    const std::vector<std::string>& args);

}  // namespace brimvale::service
