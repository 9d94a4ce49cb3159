// Both programs' command-line contract, run as the built programs in a
// temporary home: version, help, unknown names, usage mistakes and their exit codes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/core/user_docs.h"

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
  EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
}

TEST(CommandLineE2E, ApplicationAnswersEveryMistakeWithOneSentenceAndExitTwo) {
  TempHome home;
  const Case cases[] = {
      {{"--version"}, 0, "brimvale " + std::string(kVersion) + "\n"},
      {{}, 2, "brimvale needs a subcommand. Nothing was changed."},
      {{"bogus"}, 2, "brimvale has no subcommand \"bogus\". Nothing was changed. Run"},
      {{"stauts"}, 2, "Did you mean \"status\"? Run \"brimvale --help\" for the list.\n"},
      {{"move"}, 2, "brimvale move needs the folder to relocate (FOLDER). Nothing was changed."},
      {{"move", "x", "--verify", "slow"}, 2, "brimvale move cannot use what was given"},
      {{"service"},
       2,
       "brimvale service needs the brim-vale subcommand to run, and its arguments (ARGUMENTS)."},
      {{"status", "extra"}, 2, "brimvale status does not take \"extra\". Nothing was changed."},
      {{"drives", "eject"}, 2, "Nothing was changed.\n"},
      {{"parked", "confirm"}, 2, "`brimvale parked confirm` needs the parked folder to delete"},
      {{"drive-transfer"}, 2, "Nothing was changed.\n"},
      {{"--help"}, 0, "show or change settings"},
      {{"settings", "--help"}, 0, "DISABLE_DELETE (brim-vale.conf)"},
      {{"move", "--help"}, 0, "the folder to relocate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    expectOutcome(runApp(home, c.args), c);
  }
  // A command line that could not be read leaves the home as it was.
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
  TempHome home(testing::StateFolder::kCreated);
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

// The words on the line of `script` that starts with `lead`, up to a quote.
std::set<std::string> offeredWords(const std::string& script, const std::string& lead) {
  const auto start = script.find(lead);
  if (start == std::string::npos) return {};
  std::istringstream words(
      script.substr(start + lead.size(),
                    script.find_first_of("\"\n", start + lead.size()) - start - lead.size()));
  std::set<std::string> found;
  for (std::string w; words >> w;) found.insert(w);
  return found;
}

std::string roffed(std::string_view name) {
  std::string out;
  for (char c : name) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

// What the build renders for the installer names every subcommand the
// programs accept, internal ones left out of completion.
TEST(CommandLineE2E, BuiltManPagesAndCompletionNameEverySubcommand) {
  const fs::path share = fs::path(BRIMVALE_PATH).parent_path() / "Scripts" / "share";
  std::vector<std::string> application, service;
  for (const auto& c : app::brimvaleCommands()) application.emplace_back(c.name);
  for (const auto name : service::subcommandNames()) {
    if (!name.starts_with("__")) service.emplace_back(name);
  }
  const std::pair<std::string, std::vector<std::string>> programs[] = {{"brimvale", application},
                                                                       {"brim-vale", service}};
  for (const auto& [program, names] : programs) {
    std::string man, bash, zsh;
    for (const auto& file : app::userDocFiles(program)) {
      const std::string text = readFile(share / file.relative).value_or("");
      (file.kind == app::UserDocKind::kManPage ? man
       : file.kind == app::UserDocKind::kBash  ? bash
                                               : zsh) = text;
    }
    const auto bashWords = offeredWords(bash, "compgen -W \"");
    const auto zshWords = offeredWords(zsh, "compadd -- ");
    for (const auto& name : names) {
      SCOPED_TRACE(program + " " + name);
      EXPECT_NE(man.find(roffed(name)), std::string::npos);
      EXPECT_TRUE(bashWords.contains(name));
      EXPECT_TRUE(zshWords.contains(name));
    }
    EXPECT_FALSE(bashWords.contains("__xfer-supervise"));
  }
}

}  // namespace
}  // namespace brimvale::e2e
