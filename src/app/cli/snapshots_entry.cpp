#include "app/cli/snapshots_entry.h"

#include <string>
#include <vector>

#include "app/cli/care_host.h"
#include "app/cli/json_option.h"

namespace brimvale::app {
namespace {

struct SnapshotsOptions {
  std::vector<std::string> request;
  bool json = false;
};

void options(CLI::App& sub, SnapshotsOptions& o) {
  sub.add_option("request", o.request, "list | delete STAMP | thin BYTES URGENCY | destination");
  jsonOption(sub, o.json);
}

int snapshots(CommandContext& c, SnapshotsOptions& o) {
  if (o.json && !o.request.empty() && o.request[0] != "list") {
    return jsonRefused(c, "the list alone (`brimvale snapshots --json`)", o.request[0]);
  }
  CareCommandHost host = careHost(c, o.json);
  return snapshotsCommand(host, o.request);
}

}  // namespace

CommandEntry snapshotsEntry() {
  return commandEntry<SnapshotsOptions>(
      "snapshots", "local snapshots: list, delete STAMP, thin BYTES URGENCY, destination", options,
      snapshots);
}

}  // namespace brimvale::app
