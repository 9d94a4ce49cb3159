#include "app/cli/json_option.h"

namespace brimvale::app {

void jsonOption(CLI::App& sub, bool& json) {
  sub.add_flag("--json", json, "print JSON with stable keys (see docs/json-schemas.md)");
}

int jsonRefused(CommandContext& c, const std::string& goesWith, const std::string& given) {
  c.err << "--json goes with " << goesWith << ", not with \"" << given
        << "\". Nothing was changed.\n";
  return 2;
}

}  // namespace brimvale::app
