// command_docs OUTPUT: writes both programs' man pages and bash and zsh
// completion under OUTPUT in the layout of ~/.local/share, for the installer.
#include <iostream>

#include "app/cli/command_docs.h"
#include "app/cli/commands.h"
#include "app/core/user_docs.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/version.h"
#include "service/dispatch.h"
#include "service/relocation/relocation.h"

namespace {
using namespace brimvale;
using app::DocRow;
using app::ProgramDoc;

std::string code(service::MoveDirCode c) { return std::to_string(static_cast<int>(c)); }

// The disk the pages name, in this platform's words.
const std::string kDisk(kHostWords.startupDisk);

const std::string kAutomaticActions =
    "\"brimvale install\" turns automatic actions on: the service relocates folders by its "
    "rules daily and when the " +
    kDisk +
    " runs short of space. \"brimvale settings auto.enabled off\" turns them off again; "
    "\"brim-vale pause\" stops them until \"brim-vale resume\".";

std::vector<DocRow> commonFiles() {
  return {{"~/.brimvale/brim-vale.conf",
           "the service's settings, changed with \"brimvale settings NAME VALUE\""},
          {"~/.brimvale/brim-vale.log", "the service log"},
          {"~/.brimvale/brim-vale.actions.tsv", "every action the service took, one per row"},
          {"~/.brimvale/brimvale.log", "the application's log"},
          {"~/.brimvale/state/",
           "records of moves, transfers and jobs, and the status snapshot; keep it to undo moves"}};
}

std::vector<DocRow> commonEnvironment() {
  return {{"HOME", "the home folder; ~/.brimvale lives in it"},
          {"USER", "the user name, for the drive's marker and the removable-drive folders"},
          {"RSYNC", "the GNU rsync to copy with, instead of the one found on PATH"},
          {"XDG_DATA_HOME",
           "holds the home Trash (default ~/.local/share/Trash on Linux) that offloaded apps and, "
           "with cleanup.delete-to-trash on, old files of delete rules go to"}};
}

ProgramDoc applicationDoc() {
  CLI::App cli;
  app::BrimvaleChoice choice;  // no defaults: a build folder's path is no use on a page
  app::declareBrimvaleCli(cli, choice);
  ProgramDoc doc{
      .name = "brimvale",
      .summary = std::string(app::kBrimvaleSummary),
      .synopsis = std::string(app::kBrimvaleSynopsis),
      .description =
          {"brimvale keeps the " + kDisk +
               " from filling up: it moves folders and apps to a fast "
               "external drive and links them back, so everything stays where it was. It runs the "
               "dashboard, the commands below, and installs the background service brim-vale.",
           kAutomaticActions,
           "Every subcommand answers -h and --help with its options, and changes nothing then. "
           "A failure says whether your data is safe and what to do."},
      .options = app::cliOptions(cli),
      .commands =
          app::cliCommands(cli, {{"moves", "id", "move-ids"}, {"transfers", "words", "remotes"}}),
      .exitStatus = {{"0", "done"},
                     {"1", "failed; the message says whether the data is safe and what to do"},
                     {"2", "a usage mistake: nothing was changed"}},
      .environment = commonEnvironment(),
      .files = commonFiles(),
      .examples = {{"brimvale install", "install the service, turning automatic actions on"},
                   {"brimvale status", "how the drive, the disk and the service stand"},
                   {"brimvale move ~/Videos", "move a folder to the drive and link it back"},
                   {"brimvale moves revert ID", "bring a moved folder home"},
                   {"brimvale apps --sort size", "the installed apps, biggest first"},
                   {"brimvale scan --compare --days 30",
                    "the folders that grew most since the scan kept a month ago"},
                   {"brimvale settings auto.enabled off", "turn automatic actions off"}},
      .seeAlso = {"brim-vale(1)"}};
  doc.files.push_back(
      {"~/.brimvale/state/scans/",
       "the folder sizes of each scan, one file a scan, kept HISTORY_MAX_DAYS days"});
  doc.environment.push_back({"COLUMNS", "the terminal width history draws its chart for"});
  doc.environment.push_back(
      {"LC_ALL, LC_CTYPE, LANG", "a UTF-8 locale lets history draw with block characters"});
  doc.environment.push_back({"DISPLAY, DBUS_SESSION_BUS_ADDRESS",
                             "the desktop session notifications and the dashboard use"});
  return doc;
}

ProgramDoc serviceDoc() {
  ProgramDoc doc{
      .name = "brim-vale",
      .summary = std::string(service::kServiceSummary),
      .synopsis = "[subcommand [arguments]]",
      .description = {"brim-vale is the background service brimvale installs: it watches the " +
                          kDisk +
                          " and the external drive, runs the relocation rules and "
                          "answers the subcommands below. With no subcommand, status runs. brvl "
                          "is a shorter name for it.",
                      kAutomaticActions,
                      "\"brim-vale SUBCOMMAND --help\" shows one subcommand's help and runs "
                      "nothing."},
      .exitStatus = {{"0", "done"},
                     {"1", "failed; the JSON answers of assess, benchmark and reclaim also use 1"},
                     {"2", "a usage mistake or an unknown subcommand"},
                     {code(service::MoveDirCode::kDriveNotUsable),
                      "move-dir: the drive is not usable"},
                     {"3", "optimize-cloud: no eviction tool is available"},
                     {code(service::MoveDirCode::kInUse), "move-dir: the folder is in use"},
                     {"4", "optimize-cloud: the folder is not a cloud folder"},
                     {code(service::MoveDirCode::kCopyFailed), "move-dir: the copy failed"},
                     {code(service::MoveDirCode::kParkFailed),
                      "move-dir: the original could not be set aside"},
                     {code(service::MoveDirCode::kLinkFailed),
                      "move-dir: the link failed; the original was restored"}},
      .environment = commonEnvironment(),
      .files = commonFiles(),
      .examples = {{"brvl", "the status: drive, disk, quiet gate and state"},
                   {"brvl dry-run", "what a rule run would do, changing nothing"},
                   {"brvl move-dir ~/Videos", "relocate one folder and link it back"},
                   {"brvl rollback --yes", "undo the last batch of moves"},
                   {"brvl pause", "stop all automatic actions until \"brvl resume\""}},
      .seeAlso = {"brimvale(1)"}};
  doc.environment.push_back({"EVICT_BRCTL_SUPPORTED, EVICT_FPCTL_SUPPORTED",
                             "yes or no: skip probing whether a cloud eviction tool can evict"});
  for (const auto& row : service::subcommandHelp()) {
    if (row.name.starts_with("__")) continue;  // internal ones stay unoffered
    std::vector<std::string> names{std::string(row.name)};
    names.insert(names.end(), row.aliases.begin(), row.aliases.end());
    // "help | -h | --help": the option-like names read as options.
    app::DocOption asOption{.help = std::string(row.help)};
    for (const auto& name : names) {
      if (name.starts_with('-')) asOption.names.push_back(name);
    }
    if (!asOption.names.empty()) doc.options.push_back(std::move(asOption));
    for (const auto& name : names) {
      if (name.starts_with('-')) continue;
      // An alias gets no help: the page shows it on its row's line.
      app::DocCommand command{.name = name};
      if (name == row.name) {
        command.usage = std::string(row.usage);
        command.help = std::string(row.help);
      }
      for (const auto& option : row.options) {
        app::DocOption o{.help = std::string(option.help)};
        for (auto each : splitFields(option.names, " ")) o.names.emplace_back(each);
        command.options.push_back(std::move(o));
      }
      if (!row.firstWords.empty()) {
        app::DocArgument first{.name = "WORD"};
        for (auto word : row.firstWords) first.choices.emplace_back(word);
        command.arguments.push_back(std::move(first));
      }
      doc.commands.push_back(std::move(command));
    }
  }
  return doc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "command_docs needs the folder to write into.\n";
    return 2;
  }
  const std::filesystem::path out = argv[1];
  const ProgramDoc application = applicationDoc();
  const ProgramDoc service = serviceDoc();
  for (std::string_view program : app::kDocumentedPrograms) {
    const ProgramDoc& doc = program == application.name ? application : service;
    for (const auto& file : app::userDocFiles(program)) {
      const std::string text = file.kind == app::UserDocKind::kManPage ? app::manPage(doc, kVersion)
                               : file.kind == app::UserDocKind::kBash
                                   ? app::bashCompletion(doc, program)
                                   : app::zshCompletion(doc, program);
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
