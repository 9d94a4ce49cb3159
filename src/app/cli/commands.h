// The `brimvale` command line: parses argv against the command table and runs
// the chosen subcommand.
#pragma once

#include <iosfwd>

#include "app/cli/command_table.h"

namespace brimvale::app {

// Parses argv and runs the chosen subcommand. The process exit status.
[[nodiscard]] int runBrimvale(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace brimvale::app
