// command_docs OUTPUT: writes both programs' man pages and bash and zsh
// completion under OUTPUT in the layout of ~/.local/share, for the installer.
#include <iostream>

#include "app/cli/command_docs.h"
#include "app/cli/commands.h"
#include "app/core/user_docs.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/version.h"
#include "service/dispatch.h"

namespace {
using namespace brimvale;
using app::ProgramDoc;

ProgramDoc applicationDoc() {
  ProgramDoc doc{.name = "brimvale",
                 .summary = std::string(app::kBrimvaleSummary),
                 .synopsis = std::string(app::kBrimvaleSynopsis)};
  for (const auto& c : app::brimvaleCommands()) {
    doc.words.emplace_back(c.name);
    doc.rows.push_back({std::string(c.name), std::string(c.help)});
  }
  doc.words.insert(doc.words.end(), {"--help", "--version"});
  doc.notes =
      "Run \"brimvale SUBCOMMAND --help\" for a subcommand's options. Exit status: 0 done, 1 "
      "failed (the message says whether the data is safe and what to do), 2 a usage mistake. "
      "Configuration and state live in ~/.brimvale; \"brimvale settings\" shows and changes the "
      "settings.";
  return doc;
}

ProgramDoc serviceDoc() {
  ProgramDoc doc{.name = "brim-vale",
                 .summary = std::string(service::kServiceSummary),
                 .synopsis = "[subcommand [arguments]]"};
  for (const auto name : service::subcommandNames()) {
    if (!name.starts_with("__")) doc.words.emplace_back(name);  // internal ones stay unoffered
  }
  for (const auto& row : service::subcommandHelp()) {
    doc.rows.push_back({std::string(row.usage), std::string(row.help)});
  }
  doc.notes =
      "With no subcommand, status runs; \"brim-vale SUBCOMMAND --help\" shows one subcommand's "
      "help and runs nothing. Exit status: 0 done, 1 failed, 2 a usage mistake or an "
      "unknown subcommand; move-dir and optimize-cloud use higher codes, named in their "
      "messages. Configuration: ~/.brimvale/brim-vale.conf; log: ~/.brimvale/brim-vale.log; "
      "action log: ~/.brimvale/brim-vale.actions.tsv.";
  return doc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "command_docs needs the folder to write into.\n";
    return 2;
  }
  const std::filesystem::path out = argv[1];
  for (const ProgramDoc& doc : {applicationDoc(), serviceDoc()}) {
    for (const auto& file : app::userDocFiles(doc.name)) {
      const std::string text = file.kind == app::UserDocKind::kManPage ? app::manPage(doc, kVersion)
                               : file.kind == app::UserDocKind::kBash  ? app::bashCompletion(doc)
                                                                       : app::zshCompletion(doc);
      const auto target = out / file.relative;
      auto written = createDirectories(target.parent_path());
      if (written) written = writeFileAtomically(target, text, {.mode = 0644});
      if (!written) {
        std::cerr << "command_docs could not write " << target.string() << ": "
                  << written.error().message() << "\n";
        return 1;
      }
    }
  }
  return 0;
}
