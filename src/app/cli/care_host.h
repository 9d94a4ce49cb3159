// The clean-up's host for `home`, `care` and `snapshots`.
#pragma once

#include "app/cli/command_context.h"
#include "app/core/care_commands.h"

namespace brimvale::app {

[[nodiscard]] CareCommandHost careHost(CommandContext& c, bool json);

}  // namespace brimvale::app
