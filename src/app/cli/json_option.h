// The --json flag of the commands that show state, and the refusal when it
// comes with an action instead of the list.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "app/cli/command_context.h"

namespace brimvale::app {

// --json, "print JSON with stable keys", bound to `json`.
void jsonOption(CLI::App& sub, bool& json);

// --json shows state, so it goes with the lists alone; an action given with it
// is refused before anything changes. The exit status (2).
int jsonRefused(CommandContext& c, const std::string& goesWith, const std::string& given);

}  // namespace brimvale::app
