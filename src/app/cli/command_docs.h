// Manual pages and shell completion for both programs, rendered from their
// command tables so they can never list a subcommand the programs lack.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brimvale::app {

struct DocRow {
  std::string usage;  // the name with its arguments: "move-dir PATH"
  std::string help;
};

struct ProgramDoc {
  std::string name;                // "brimvale"
  std::string summary;             // one line: what the program is for
  std::string synopsis;            // how it is called, after its name
  std::vector<std::string> words;  // every subcommand name a shell may complete
  std::vector<DocRow> rows;        // the subcommands, as help shows them
  std::string notes;               // a closing paragraph of plain text
};

// A man(7) page, section 1, dated by nothing so builds stay reproducible.
[[nodiscard]] std::string manPage(const ProgramDoc& doc, std::string_view version);

// Completes the first word after the program's name from `words`.
[[nodiscard]] std::string bashCompletion(const ProgramDoc& doc);
[[nodiscard]] std::string zshCompletion(const ProgramDoc& doc);

}  // namespace brimvale::app
