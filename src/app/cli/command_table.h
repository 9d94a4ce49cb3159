// The one table of `brimvale`'s subcommands, in the order help lists them:
// CLI11 is built from it, so dispatch, help and the man page never disagree.
#pragma once

#include <string_view>
#include <vector>

#include "app/cli/command_entry.h"

namespace brimvale::app {

// What the program is for, as help opens with it.
#if defined(__APPLE__)
inline constexpr std::string_view kBrimvaleSummary =
    "keeps the startup disk from filling up, with a fast external drive";
#else
inline constexpr std::string_view kBrimvaleSummary =
    "keeps the internal disk from filling up, with a fast external drive";
#endif

// How the program is called, after its name.
inline constexpr std::string_view kBrimvaleSynopsis =
    "[--scripts DIR] [--snapshot-tool PATH] SUBCOMMAND [ARGUMENTS]";

// Every subcommand runBrimvale dispatches, in help's order.
[[nodiscard]] const std::vector<CommandEntry>& commandTable();

struct CommandHelp {
  std::string_view name;
  std::string_view help;
};

// The table's names and help lines.
[[nodiscard]] std::vector<CommandHelp> brimvaleCommands();

// `name` is one of the subcommands runBrimvale dispatches.
[[nodiscard]] bool isBrimvaleCommand(std::string_view name);

}  // namespace brimvale::app
