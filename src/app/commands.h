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

// What the program is for, as help opens with it.
inline constexpr std::string_view kBrimvaleSummary =
    "keeps the startup disk from filling up, with a fast external drive";

// How the program is called, after its name.
inline constexpr std::string_view kBrimvaleSynopsis =
    "[--scripts DIR] [--snapshot-tool PATH] SUBCOMMAND [ARGUMENTS]";

struct CommandHelp {
  std::string_view name;
  std::string_view help;
};

// Every subcommand runBrimvale dispatches, in help's order.
[[nodiscard]] std::vector<CommandHelp> brimvaleCommands();

// `name` is one of the subcommands runBrimvale dispatches.
[[nodiscard]] bool isBrimvaleCommand(std::string_view name);

}  // namespace brimvale::app
