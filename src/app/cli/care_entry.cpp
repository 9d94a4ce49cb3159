#include "app/cli/care_entry.h"

#include "app/cli/care_host.h"
#include "app/cli/confirmation.h"
#include "app/cli/json_option.h"

namespace brimvale::app {
namespace {

struct CareOptions {
  bool planOnly = false;
  bool list = false;
  bool json = false;
  ConfirmFlags confirm;
};

void options(CLI::App& sub, CareOptions& o) {
  sub.add_flag("--plan", o.planOnly,
               "show what the clean-up would do and what your excludes kept, changing nothing");
  sub.add_flag("--list", o.list, "what the last clean-up removed: each item's path and size");
  jsonOption(sub, o.json);
  confirmFlags(sub, o.confirm, "clean up");
}

int care(CommandContext& c, CareOptions& o) {
  if (o.planOnly && o.list) {
    c.err << "Choose either --plan or --list, not both. Nothing was changed.\n";
    return 2;
  }
  if (o.json && !o.planOnly && !o.list) {
    c.err << "--json shows the plan or the list, so it needs --plan or --list: `brimvale care "
             "--plan --json`. Nothing was changed.\n";
    return 2;
  }
  CareCommandHost host = careHost(c, o.json);
  host.confirm = confirmationHere(c, o.confirm);
  return careCommand(host, o.list       ? CareMode::kList
                           : o.planOnly ? CareMode::kPlanOnly
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
