#include "app/cli/care_entry.h"

#include "app/cli/care_host.h"
#include "app/cli/confirmation.h"
#include "app/cli/json_option.h"
#include "app/core/listing_order.h"

namespace brimvale::app {
namespace {

struct CareOptions {
  bool planOnly = false;
  bool list = false;
  bool preview = false;
  std::string fromPreview;
  std::string sort;
  bool json = false;
  ConfirmFlags confirm;
};

void options(CLI::App& sub, CareOptions& o) {
  sub.add_flag("--plan", o.planOnly,
               "show what the clean-up would do and what your excludes kept, changing nothing");
  sub.add_flag("--preview", o.preview,
               "each item the clean-up would delete (path, size, age, category) and the total, "
               "changing nothing");
  sub.add_option("--from-preview", o.fromPreview,
                 "delete only the items of FILE, a saved `care --preview --json`, that are still "
                 "due and no bigger, saying what changed since")
      ->type_name("FILE");
  sortOption(sub, o.sort, "the preview's order: size (largest first), age (oldest first) or name");
  sub.add_flag("--list", o.list, "what the last clean-up removed: each item's path and size");
  jsonOption(sub, o.json);
  confirmFlags(sub, o.confirm, "clean up");
}

int care(CommandContext& c, CareOptions& o) {
  if (int{o.planOnly} + int{o.preview} + int{o.list} + int{!o.fromPreview.empty()} > 1) {
    c.err << "Choose one of --plan, --preview, --from-preview and --list. Nothing was changed.\n";
    return 2;
  }
  if (o.json && !o.planOnly && !o.preview && !o.list) {
    c.err << "--json shows the plan, the preview or the list, so it needs --plan, --preview or "
             "--list: `brimvale care --preview --json`. Nothing was changed.\n";
    return 2;
  }
  if (!o.sort.empty() && !o.preview) {
    c.err << "--sort orders the preview, so it needs --preview: `brimvale care --preview --sort "
             "size`. Nothing was changed.\n";
    return 2;
  }
  CareCommandHost host = careHost(c, o.json);
  host.confirm = confirmationHere(c, o.confirm);
  host.order = listingOrderFromRaw(o.sort);
  host.previewFile = o.fromPreview;
  return careCommand(host, o.list                   ? CareMode::kList
                           : o.planOnly             ? CareMode::kPlanOnly
                           : o.preview              ? CareMode::kPreview
                           : !o.fromPreview.empty() ? CareMode::kFromPreview
                                                    : CareMode::kRun);
}

}  // namespace

CommandEntry careEntry() {
  return commandEntry<CareOptions>(
      "care",
      "Zozad Evev: the one-tap clean-up, step by step, then its summary; shows its plan "
      "and asks first (--yes, --dry-run)",
      options, care);
}

}  // namespace brimvale::app
