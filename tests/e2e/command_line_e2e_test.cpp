// Both programs' command-line contract, run as the built programs in a
// temporary home: version, help, unknown names, usage mistakes and their exit codes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/cli/commands.h"

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/version.h"
#include "e2e_harness.h"
#include "service/dispatch.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

struct Case {
  std::vector<std::string> args;
  int code;
  std::string text;  // found in standard output or standard error
};

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += a + " ";
  return text;
}

void expectOutcome(const ProcessResult& r, const Case& c) {
  EXPECT_EQ(r.exitCode, c.code) << r.out << r.err;
  const std::string said = r.out + r.err;
  EXPECT_NE(said.find(c.text), std::string::npos) << said;
  EXPECT_EQ(said.find(c.text), said.rfind(c.text)) << "said more than once: " << said;
}

// Mistakes exit 2; a command that needs the service, run before the
// installation, exits 1; either way with one sentence and nothing written.
TEST(CommandLineE2E, ApplicationAnswersMistakesAndAMissingInstallationWithOneSentence) {
  TempHome home;
  const Case cases[] = {
      {{"--version"}, 0, "brimvale " + std::string(kVersion) + "\n"},
      {{}, 2, "brimvale needs a subcommand. Nothing was changed."},
      {{"bogus"}, 2, "brimvale has no subcommand \"bogus\". Nothing was changed. Run"},
      {{"move"}, 2, "brimvale move needs the folder to relocate (FOLDER). Nothing was changed."},
      {{"move", "x", "--verify", "slow"}, 2, "brimvale move cannot use what was given"},
      {{"--help"}, 0, "show or change settings"},
      {{"__complete", "move-ids"}, 0, ""},
      {{"status"}, 1, "Brimvale is not installed yet; run `brimvale install`.\n"},
      {{"drives"}, 1, "Brimvale is not installed yet; run `brimvale install`.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    expectOutcome(runApp(home, c.args), c);
  }
  // A command line that could not be read, and a completion listing, leave the home as it was.
  EXPECT_FALSE(fs::exists(home.paths().root));
}

// Every entry below `root`, links not followed, with its mode, size and
// modification time: whatever a program writes there changes the listing.
std::map<std::string, std::string> listing(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    lstat(it->path().c_str(), &st);
    entries[it->path().lexically_relative(root).string()] =
        std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return entries;
}

struct HelpCase {
  std::vector<std::string> command;  // the help flag goes after it
  std::string shown;                 // found in the help printed
};

// Given `-h` or `--help` after a command, then its help is printed with exit
// 0, nothing in the home changes and no process is left behind.
void expectHelpOnly(const TempHome& home, const std::vector<HelpCase>& cases,
                    const std::function<ProcessResult(const std::vector<std::string>&)>& run) {
  for (const auto& c : cases) {
    for (const std::string flag : {"--help", "-h"}) {
      auto args = c.command;
      args.push_back(flag);
      SCOPED_TRACE(joined(args));
      const auto before = listing(home.path());
      const ProcessResult r = run(args);
      EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
      EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
      EXPECT_EQ(listing(home.path()), before);
      EXPECT_TRUE(processesOf("", home.path()).empty());
    }
  }
}

// Every subcommand, the actions nested in them, and every service subcommand
// passed through `brimvale service` (the service's own help), with the
// service installed: `--yes` beside the help flag changes nothing either.
TEST(CommandLineE2E, ApplicationHelpOnEverySubcommandChangesNothing) {
  TempHome home(brimvale::testing::StateFolder::kCreated);
  home.writeConfig("NVMe=\"" + (home.path() / "drive").string() + "\"\n");
  fs::create_symlink(BRIM_VALE_PATH, home.paths().serviceProgram);
  const std::string path = (home.path() / "folder").string();
  std::vector<HelpCase> cases;
  for (const auto& c : app::brimvaleCommands())
    cases.push_back({{std::string(c.name)}, std::string(c.name)});
  const std::vector<std::string> nested[] = {
      {"moves", "revert", "id"},
      {"moves", "cancel", "id"},
      {"relocated", "move-back", "id"},
      {"relocated", "delete", "id"},
      {"drive-transfer", "start", path},
      {"drive-transfer", "cancel"},
      {"drives", "select", path},
      {"parked", "confirm", path},
      {"remotes", "browse", "r:p", "delete"},
      {"remotes", "remove", "r"},
      {"apps", "move", path},
      {"transfers", "cancel", "id"},
      {"autosync", "remove", "id"},
      {"junk", "clear"},
      {"snapshots", "delete", "stamp"},
      {"settings", "delete.disabled", "1"},
      {"move", path, "--yes"},
      {"uninstall", "--purge", "--yes"},
  };
  for (const auto& command : nested) cases.push_back({command, command[0]});
  for (const auto name : service::subcommandNames()) {
    if (!name.starts_with('-'))
      cases.push_back({{"service", std::string(name)}, std::string(name)});
  }
  expectHelpOnly(home, cases, [&](const auto& args) { return runApp(home, args); });
}

}  // namespace
}  // namespace brimvale::e2e
