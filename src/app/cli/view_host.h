// The views over the service's answers (drives, scan, discover, drive-transfer):
// the service run with a time limit, --json passing its answer through.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/cli/command_context.h"
#include "app/core/service_view_command.h"

namespace brimvale::app {

struct ViewOptions {
  std::vector<std::string> request;
  bool json = false;
  int limitSecs = kDefaultServiceLimitSecs;
};

// The request, --json and --timeout, as in `brimvale service`.
void viewOptions(CLI::App& sub, ViewOptions& o);

// Each service run is stopped after `limitSecs`.
[[nodiscard]] ViewCommandHost viewHost(CommandContext& c, bool json, int limitSecs);

}  // namespace brimvale::app
