// Manual pages and shell completion for both programs, rendered from their
// command tables so they can never list a subcommand or an option the
// programs lack.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace brimvale::app {

// A term and what it means: an exit code, a variable, a file, an example.
struct DocRow {
  std::string term;
  std::string text;
};

struct DocOption {
  std::vector<std::string> names;  // "-y", "--yes"
  std::string value;               // what it takes, "TEXT"; empty: a switch
  std::string help;
  std::vector<std::string> choices;  // the only words its value may be
  std::string fallback;              // the value when not given, if worth saying
};

struct DocArgument {
  std::string name;  // "ID"
  std::string help;
  std::vector<std::string> choices;
  bool required = false;
  bool repeats = false;  // takes every word that follows
  std::string lookup;    // the list the program prints to complete it
  bool paths = true;     // a path fits too
};

struct DocCommand {
  std::string name;
  std::string usage;  // empty: the name with its arguments
  std::string help;   // empty: a name another row shows ("pause / resume")
  std::vector<DocOption> options;
  std::vector<DocArgument> arguments;
};

struct ProgramDoc {
  std::string name;                      // "brimvale"
  std::string summary;                   // one line: what the program is for
  std::string synopsis;                  // how it is called, after its name
  std::vector<std::string> description;  // paragraphs
  std::vector<DocOption> options;        // before the subcommand
  std::vector<DocCommand> commands;
  std::vector<DocRow> exitStatus;
  std::vector<DocRow> environment;
  std::vector<DocRow> files;
  std::vector<DocRow> examples;  // the command line, then what it does
  std::vector<std::string> seeAlso;
};

// The arguments completion fills in by asking the program for a list.
struct CompletionLookup {
  std::string_view command;
  std::string_view argument;  // as declared: "id"
  std::string_view list;      // "move-ids"
  bool paths = false;         // a path fits too
};

// The options and subcommands (hidden ones left out) of a CLI11 tree, each
// with its options and arguments as declared.
[[nodiscard]] std::vector<DocOption> cliOptions(const CLI::App& app);
[[nodiscard]] std::vector<DocCommand> cliCommands(const CLI::App& app,
                                                  const std::vector<CompletionLookup>& lookups);

// A man(7) page, section 1, dated by nothing so builds stay reproducible.
[[nodiscard]] std::string manPage(const ProgramDoc& doc, std::string_view version);

// Completes subcommands, their options, the values of options with choices
// and the arguments, for the command `as` (a shim may run the program under
// another name). A lookup runs the typed program as "PROGRAM __complete LIST".
[[nodiscard]] std::string bashCompletion(const ProgramDoc& doc, std::string_view as);
[[nodiscard]] std::string zshCompletion(const ProgramDoc& doc, std::string_view as);

}  // namespace brimvale::app
