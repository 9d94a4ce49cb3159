// `brimvale rules` as the command table lists it: its options, its handler
// and its help line.
#pragma once

#include "app/cli/command_entry.h"

namespace brimvale::app {

[[nodiscard]] CommandEntry rulesEntry();

}  // namespace brimvale::app
