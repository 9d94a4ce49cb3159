// The folder mover's context for the commands that run moves in this
// process, built from the command's context and this process's terminal.
#pragma once

#include "app/cli/command_context.h"
#include "app/cli/confirmation.h"
#include "app/core/mover_session.h"

namespace brimvale::app {

// Reads standard input for the questions, confirming as `flags` say; a bar
// rewritten in place only when `c.out` is this process's terminal.
[[nodiscard]] MoverCommandContext moverContext(CommandContext& c, ConfirmFlags flags = {});

}  // namespace brimvale::app
