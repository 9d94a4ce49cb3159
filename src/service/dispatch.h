// brim-vale's command line: the start-up steps every invocation shares, and
// one table of subcommands that drives both dispatch and help.
#pragma once

#include <string>
#include <vector>

#include "service/service_context.h"

namespace brimvale::service {

// Runs one invocation: prepares the state directory, then dispatches
// args[0] (default "status"). Returns the process exit status.
[[nodiscard]] int runService(ServiceContext& ctx, const std::vector<std::string>& args);

// Loads brim-vale.conf into ctx.config. On a missing file says the error
// line and returns false (the caller exits 1).
[[nodiscard]] bool loadConfig(ServiceContext& ctx);

}  // namespace brimvale::service
