#include "app/cli/history_entry.h"

#include <cstdlib>
#include <ctime>

#include "app/cli/history_command.h"
#include "common/state/usage_history.h"

namespace brimvale::app {
namespace {

struct HistoryEntryOptions {
  HistoryOptions history;
  bool json = false;
};

void options(CLI::App& sub, HistoryEntryOptions& o) {
  sub.add_option("--days", o.history.days, "only the last N days");
  sub.add_option("--svg", o.history.svgFile, "write the chart as an SVG image to FILE");
  sub.add_flag("--json", o.json, "the bucketed series as JSON");
}

int history(CommandContext& c, HistoryEntryOptions& o) {
  o.history.json = o.json;
  HistoryCommandHost host{c.paths.state / kUsageHistoryFile, std::time(nullptr),
                          terminalFromEnvironment(std::getenv), c.out, c.err};
  return historyCommand(host, o.history);
}

}  // namespace

CommandEntry historyEntry() {
  return commandEntry<HistoryEntryOptions>(
      "history",
      "free space over time: a sparkline of the internal disk and the drive "
      "(--days N, --svg FILE for a chart image, --json for the series)",
      options, history);
}

}  // namespace brimvale::app
