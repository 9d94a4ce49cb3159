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
  ConfirmFlags confirm;
};

void options(CLI::App& sub, ParkedOptions& o) {
  sub.add_option("request", o.request, "list | confirm PATH");
  sub.add_flag("--json", o.json, "print JSON with stable keys");
  confirmFlags(sub, o.confirm, "confirm: delete");
}

int parked(CommandContext& c, ParkedOptions& o) {
  ParkedCommandHost host{c.paths, c.out, c.err, confirmationHere(c, o.confirm)};
  return parkedCommand(host, o.request, o.json ? ParkedOutput::kJson : ParkedOutput::kText);
}

}  // namespace

CommandEntry parkedEntry() {
  return commandEntry<ParkedOptions>(
      "parked",
      "originals parked beside relocated folders: list them, or `confirm PATH` to "
      "delete one once its copy is verified (asks first: --yes, --dry-run)",
      options, parked);
}

}  // namespace brimvale::app
