// The `brimvale` command line: parses argv against the command table and runs
// the chosen subcommand.
#pragma once

#include <iosfwd>
#include <string>

#include <CLI/CLI.hpp>

#include "app/cli/command_table.h"

namespace brimvale::app {

// What parsing the command line chose: the top-level options' values and the
// subcommand with its handler. No entry: a listing for shell completion, which
// runs before anything that could write.
struct BrimvaleChoice {
  std::string scripts;       // --scripts; its default is shown in help
  std::string snapshotTool;  // --snapshot-tool
  const CommandEntry* entry = nullptr;
  CommandHandler handler;
};

// Declares every option and subcommand of `brimvale` on `cli`, bound to
// `choice`. Help, the man page and completion all read this one tree.
void declareBrimvaleCli(CLI::App& cli, BrimvaleChoice& choice);

// The hidden subcommand shell completion calls: "__complete LIST" prints the
// move ids or remote names, one per line, and changes nothing.
inline constexpr std::string_view kCompletionCommand = "__complete";

// Parses argv and runs the chosen subcommand. The process exit status.
[[nodiscard]] int runBrimvale(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace brimvale::app
