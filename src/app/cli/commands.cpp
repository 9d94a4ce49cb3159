#include "app/cli/commands.h"

#include <filesystem>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "app/cli/command_context.h"
#include "app/cli/completion_lists.h"
#include "app/cli/usage_errors.h"
#include "app/core/app_log.h"
#include "app/core/service_command.h"
#include "common/base/stale_temporaries.h"
#include "common/base/version.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

// The folder holding the service programs: "Scripts" beside this program.
fs::path defaultScriptsFolder() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (ec ? fs::current_path(ec) : self.parent_path()) / "Scripts";
}

}  // namespace

void declareBrimvaleCli(CLI::App& cli, BrimvaleChoice& choice) {
  cli.description("brimvale: " + std::string(kBrimvaleSummary));
  cli.require_subcommand(1);
  cli.set_version_flag("--version", "brimvale " + std::string(kVersion),
                       "print the program's name and version");
  cli.add_option("--scripts", choice.scripts, "folder holding the service programs to install")
      ->type_name("DIR")
      ->capture_default_str();
  cli.add_option("--snapshot-tool", choice.snapshotTool,
                 "the local-snapshot tool (none on this system unless given)")
      ->type_name("PATH");
  for (const auto& entry : commandTable()) {
    CLI::App* sub = cli.add_subcommand(std::string(entry.name), std::string(entry.help));
    CommandHandler declared = entry.declare(*sub);
    sub->callback([&choice, &entry, declared] {
      choice.entry = &entry;
      choice.handler = declared;
    });
  }
  CLI::App* listing = cli.add_subcommand(std::string(kCompletionCommand), "")->group("");
  auto list = std::make_shared<std::string>();
  listing->add_option("list", *list)->required()->check(CLI::IsMember(completionLists()));
  listing->callback([&choice, list] {
    choice.entry = nullptr;
    choice.handler = [list](CommandContext& c) { return printCompletionList(c, *list); };
  });
}

int runBrimvale(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CommandContext context(out, err);
  CLI::App cli;
  BrimvaleChoice choice{.scripts = defaultScriptsFolder().string(),
                        .snapshotTool = context.snapshotTool};
  declareBrimvaleCli(cli, choice);
  // CLI11 answers -h and --help of any subcommand, whatever words come before
  // them, by throwing from parse(): no handler has run and nothing has been
  // written yet. Words after "--", and an option's value, are taken as they
  // are, as everywhere on the command line: `brimvale move -- --help` names a
  // folder "--help". `service` passes its words on, and brim-vale answers
  // help the same way.
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return reportParseError(cli, e, out, err);
  }
  if (choice.entry == nullptr) return choice.handler(context);
  context.scripts = choice.scripts;
  context.snapshotTool = choice.snapshotTool;
  context.words.assign(argv + 1, argv + argc);
  // A write killed half-way leaves its "{name}.tmp.{pid}"; every start clears those of ended
  // processes.
  if (const auto leftovers = sweepStaleTemporaries(context.paths.root); !leftovers.empty()) {
    AppLog log(context.paths.root / "brimvale.log", systemClock(), nullptr);
    for (const auto& leftover : leftovers) {
      log.write("removed " + leftover.string() + ", left by a write that was interrupted");
    }
  }
  if (choice.entry->serviceUse == ServiceUse::kRunsServiceProgram &&
      !serviceProgramInstalled(context.paths)) {
    err << kNotInstalledYet << "\n";
    return 1;
  }
  context.host = platform::makeHostAppPlatform(context.paths, context.base, choice.entry->service);
  return choice.handler(context);
}

}  // namespace brimvale::app
