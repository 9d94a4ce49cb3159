// Until a drive is chosen (a fresh Linux configuration names none), the
// subcommands that act on the drive refuse in one sentence and change nothing.
#pragma once

#include <string_view>

#include "service/core/service_context.h"

namespace brimvale::service {

// Whether `subcommand` reads or writes the drive or its working folder.
[[nodiscard]] bool needsChosenDrive(std::string_view subcommand);

// True when `subcommand` may run with the loaded configuration; otherwise the
// sentence naming how to choose a drive has gone to the error stream.
[[nodiscard]] bool driveChoiceAllows(ServiceContext& ctx, std::string_view subcommand);

}  // namespace brimvale::service
