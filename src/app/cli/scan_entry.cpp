#include "app/cli/scan_entry.h"

#include "app/cli/view_host.h"
#include "app/core/listing_order.h"
#include "app/core/saved_scans.h"
#include "common/base/best_effort.h"

namespace brimvale::app {
namespace {

// The longest span --days takes: ten years of kept scans.
constexpr int kMaxCompareDays = 3650;

struct ScanOptions {
  ViewOptions view;
  std::string sort;
  std::string compareFile;
  CLI::Option* compare = nullptr;  // given, with or without FILE
  int days = kDefaultCompareDays;
};

void options(CLI::App& sub, ScanOptions& o) {
  viewOptions(sub, o.view);
  sub.get_option("--json")->description(
      "print the service's JSON lines unchanged; with --compare, the comparison (see "
      "docs/json-schemas.md)");
  sortOption(sub, o.sort,
             "size (largest first, as without it), age (the folder changed longest ago first, with "
             "a CHANGED column) or name");
  o.compare =
      sub.add_option("--compare", o.compareFile,
                     "what grew: compare with the scan kept --days ago, or with FILE, a saved "
                     "`brimvale scan --json` output")
          ->expected(0, 1)
          ->type_name("FILE");
  sub.add_option("--days", o.days,
                 "--compare: with the newest scan kept at least this many days ago")
      ->check(CLI::Range(0, kMaxCompareDays))
      ->capture_default_str()
      ->needs(o.compare);
}

int scan(CommandContext& c, ScanOptions& o) {
  ViewCommandHost host = viewHost(c, o.view.json, o.view.limitSecs);
  const ScanView view{.order = listingOrderFromRaw(o.sort).value_or(ListingOrder::kSize),
                      .changedAt = folderChangedAt,
                      .keep = [&c](const ScanSizes& sizes, std::string_view lines) {
                        // A scan that could not be kept shows all the same; only a later comparison
                        // misses it.
                        bestEffort(keepScan(c.paths, sizes, lines),
                                   DiagnosticsLog(c.paths.diagnosticsLog),
                                   "keeping the scan's folder sizes");
                      }};
  if (o.compare->count() == 0) return scanViewCommand(host, o.view.request, view);
  if (!o.view.request.empty()) {
    c.err << "`brimvale scan --compare` takes the earlier scan's file after --compare, not other "
             "words. Nothing was changed.\n";
    return 2;
  }
  return scanCompareCommand(host, view,
                            {.file = o.compareFile,
                             .savedScans = c.paths.state / kSavedScansFolder,
                             .days = o.days,
                             .now = std::time(nullptr)});
}

}  // namespace

CommandEntry scanEntry() {
  return commandEntry<ScanOptions>(
      "scan",
      "what uses the most space in your home folder, largest first (--sort); `--compare` shows "
      "what grew since an earlier scan",
      options, scan);
}

}  // namespace brimvale::app
