#include "app/cli/rules_entry.h"

#include "app/cli/confirmation.h"
#include "app/cli/json_option.h"
#include "app/core/rules_command.h"

namespace brimvale::app {
namespace {

struct RulesOptions {
  std::string request;
  bool preview = false;
  std::string fromPreview;
  std::string sort;
  bool json = false;
  ConfirmFlags confirm;
};

void options(CLI::App& sub, RulesOptions& o) {
  sub.add_option("request", o.request, "run: act on what the preview shows now")
      ->check(CLI::IsMember({"run"}));
  sub.add_flag("--preview", o.preview,
               "each item a rule run would act on now (size, age, rule, action, path), the total "
               "and what your excludes kept, changing nothing");
  sub.add_option("--from-preview", o.fromPreview,
                 "run: act only on the items of FILE, a saved `rules --preview --json`, that the "
                 "rules still choose unchanged, saying which changed since")
      ->type_name("FILE");
  sortOption(sub, o.sort, "the preview's order: size (largest first), age (oldest first) or name");
  jsonOption(sub, o.json);
  confirmFlags(sub, o.confirm, "run the rules");
}

int rules(CommandContext& c, RulesOptions& o) {
  const bool run = o.request == "run";
  if (run && o.preview) {
    c.err << "Choose either --preview or `run`, not both. Nothing was changed.\n";
    return 2;
  }
  if (!o.fromPreview.empty() && !run) {
    c.err << "--from-preview goes with `run`: `brimvale rules run --from-preview FILE`. Nothing "
             "was changed.\n";
    return 2;
  }
  if ((o.json || !o.sort.empty()) && !o.preview) {
    c.err << "--json and --sort show the preview, so they need --preview: `brimvale rules "
             "--preview --json`. Nothing was changed.\n";
    return 2;
  }
  RulesCommandHost host{.paths = c.paths,
                        .rsyncPath = c.installerOptions().rsyncPath,
                        .out = c.out,
                        .err = c.err,
                        .run = platform::runnerOf(*c.base.launcher),
                        .confirm = confirmationHere(c, o.confirm),
                        .json = o.json,
                        .order = listingOrderFromRaw(o.sort),
                        .previewFile = o.fromPreview};
  return rulesCommand(host, run         ? RulesMode::kRun
                            : o.preview ? RulesMode::kPreview
                                        : RulesMode::kList);
}

}  // namespace

CommandEntry rulesEntry() {
  return commandEntry<RulesOptions>(
      "rules",
      "your rules in sentences; --preview lists each item they would act on now (--sort "
      "size|age|name, --json); `run` acts on what that list shows, or only on a saved preview's "
      "items (--from-preview FILE), and asks first (--yes, --dry-run)",
      options, rules);
}

}  // namespace brimvale::app
