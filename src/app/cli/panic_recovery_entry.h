// `brimvale panic-recovery` as the command table lists it, and the run that
// `uninstall` starts when the person agrees to bring everything home first.
#pragma once

#include "app/cli/command_entry.h"
#include "app/cli/confirmation.h"
#include "relocated/panic_recovery.h"

namespace brimvale::app {

[[nodiscard]] CommandEntry panicRecoveryEntry();

// Everything on the drive brought home as `brimvale panic-recovery` does; its exit status.
int bringEverythingHome(CommandContext& c, ConfirmFlags flags);

}  // namespace brimvale::app
