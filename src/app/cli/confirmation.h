// The one way `brimvale` confirms a command that moves or deletes the user's
// data: the plan first; then --dry-run stops, --yes goes ahead, a terminal is
// asked, and without one nothing is changed.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "app/cli/command_context.h"
#include "app/core/confirm_hook.h"

namespace brimvale::app {

struct ConfirmFlags {
  bool yes = false;     // go ahead without asking
  bool dryRun = false;  // show the plan, change nothing
};

// Declares -y,--yes ("{what} without asking first") and --dry-run.
void confirmFlags(CLI::App& sub, ConfirmFlags& flags, const std::string& what);

struct Asking {
  std::istream& in;
  bool terminal;  // `in` is a terminal: the question can be asked
  std::ostream& out;
  std::ostream& err;
  std::string command;  // the command line as given, to repeat with --yes
};

[[nodiscard]] ConfirmHook confirmation(const Asking& asking, ConfirmFlags flags);
// For this process: standard input, when it is a terminal, and the command line given.
[[nodiscard]] ConfirmHook confirmationHere(const CommandContext& c, ConfirmFlags flags);

// What is said when there is no terminal to ask on and no --yes.
[[nodiscard]] std::string noTerminalRefusal(const std::string& command);

}  // namespace brimvale::app
