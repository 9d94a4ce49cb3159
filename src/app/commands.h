// The `brimvale` command line: one table of subcommands (name, help line,
// handler) that CLI11 is built from, so dispatch and help never disagree.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::app {

// Parses argv and runs the chosen subcommand. The process exit status.
[[nodiscard]] int runBrimvale(int argc, char** argv, std::ostream& out, std::ostream& err);

// `name` is one of the subcommands runBrimvale dispatches.
[[nodiscard]] bool isBrimvaleCommand(std::string_view name);

}  // namespace brimvale::app
