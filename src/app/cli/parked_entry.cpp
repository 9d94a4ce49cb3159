#include "app/cli/parked_entry.h"

#include <string>
#include <vector>

#include "app/cli/parked_command.h"

namespace brimvale::app {
namespace {

struct ParkedOptions {
  std::vector<std::string> request;
  bool json = false;
};

void options(CLI::App& sub, ParkedOptions& o) {
  sub.add_option("request", o.request, "list | confirm PATH");
  sub.add_flag("--json", o.json, "print JSON with stable keys");
}

int parked(CommandContext& c, ParkedOptions& o) {
  ParkedCommandHost host{c.paths, c.out, c.err};
  return parkedCommand(host, o.request, o.json ? ParkedOutput::kJson : ParkedOutput::kText);
}

}  // namespace

CommandEntry parkedEntry() {
  return commandEntry<ParkedOptions>(
      "parked",
      "originals parked beside relocated folders: list them, or `confirm PATH` to "
      "delete one once its copy is verified",
      options, parked);
}

}  // namespace brimvale::app
