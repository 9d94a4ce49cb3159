#include "app/cli/commands.h"

#include <filesystem>
#include <string>

#include <CLI/CLI.hpp>

#include "app/cli/command_context.h"
#include "app/cli/usage_errors.h"
#include "app/core/app_log.h"
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

int runBrimvale(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CommandContext context(out, err);
  CLI::App cli{"brimvale: " + std::string(kBrimvaleSummary)};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", "brimvale " + std::string(kVersion),
                       "print the program's name and version");
  std::string scripts = defaultScriptsFolder().string();
  cli.add_option("--scripts", scripts, "folder holding the service programs to install")
      ->capture_default_str();
  cli.add_option("--snapshot-tool", context.snapshotTool,
                 "the local-snapshot tool (none on this system unless given)");
  const CommandEntry* chosen = nullptr;
  CommandHandler handler;
  for (const auto& entry : commandTable()) {
    CLI::App* sub = cli.add_subcommand(std::string(entry.name), std::string(entry.help));
    CommandHandler declared = entry.declare(*sub);
    sub->callback([&chosen, &handler, &entry, declared] {
      chosen = &entry;
      handler = declared;
    });
  }
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
  context.scripts = scripts;
  context.words.assign(argv + 1, argv + argc);
  // A write killed half-way leaves its "{name}.tmp.{pid}"; every start clears those of ended
  // processes.
  if (const auto leftovers = sweepStaleTemporaries(context.paths.root); !leftovers.empty()) {
    AppLog log(context.paths.root / "brimvale.log", systemClock(), nullptr);
    for (const auto& leftover : leftovers) {
      log.write("removed " + leftover.string() + ", left by a write that was interrupted");
    }
  }
  context.host = platform::makeHostAppPlatform(context.paths, context.base, chosen->service);
  return handler(context);
}

}  // namespace brimvale::app
