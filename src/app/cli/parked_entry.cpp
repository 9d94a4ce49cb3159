#include "app/cli/parked_entry.h"

#include <string>
#include <vector>

#include "app/cli/confirmation.h"
#include "app/cli/parked_command.h"

namespace brimvale::app {
namespace {

struct ParkedOptions {
  std::vector<std::string> request;
  bool json = false;
  std::string sort;
  ConfirmFlags confirm;
};

void options(CLI::App& sub, ParkedOptions& o) {
  sub.add_option("request", o.request, "list | confirm PATH");
  sub.add_flag("--json", o.json, "print JSON with stable keys");
  sortOption(sub, o.sort,
             "list: size (largest first), age (parked longest ago first, each with the time it was "
             "parked) or name (as without it)");
  confirmFlags(sub, o.confirm, "confirm: delete");
}

int parked(CommandContext& c, ParkedOptions& o) {
  ParkedCommandHost host{c.paths, c.out, c.err, confirmationHere(c, o.confirm),
                         listingOrderFromRaw(o.sort)};
  return parkedCommand(host, o.request, o.json ? ParkedOutput::kJson : ParkedOutput::kText);
}

}  // namespace

CommandEntry parkedEntry() {
  return commandEntry<ParkedOptions>(
      "parked",
      "originals parked beside relocated folders: list them (--sort size|age|name), or "
      "`confirm PATH` to delete one once its copy is verified (asks first: --yes, --dry-run)",
      options, parked);
}

}  // namespace brimvale::app
