// Both programs' command-line contract, run as the built programs in a
// temporary home: version, help, unknown names, usage mistakes and their exit
// codes, and the words every command's text may use.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/commands.h"

#include "app_move_scene.h"
#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/version.h"
#include "e2e_harness.h"
#include "sandbox_files.h"
#include "service/dispatch.h"
#include "service_process.h"
#include "testing/base/text_checks.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::contains;

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

// The actions nested in the application's subcommands, each with the
// arguments it needs, `path` where it takes a folder.
std::vector<std::vector<std::string>> nestedActions(const std::string& path) {
  return {
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
  for (const auto& command : nestedActions(path)) cases.push_back({command, command[0]});
  for (const auto name : service::subcommandNames()) {
    if (!name.starts_with('-'))
      cases.push_back({{"service", std::string(name)}, std::string(name)});
  }
  expectHelpOnly(home, cases, [&](const auto& args) { return runApp(home, args); });
}

// What no text of this build may say, matched as whole words in any case: the
// other platform's names for its parts and tools, a Mac program named by its
// bundle, a /Volumes path the program made up (the sandbox's own paths are
// taken out first), and the program's internal names: a lowerCamelCase word
// standing alone (keys like "brimvale.mover.maxConcurrent" are dotted, so they
// pass), a C++ scope or an engine's log prefix. The command names tcc-check,
// show-in-finder and optimize-icloud, and the date filters the junk command
// accepts as typed, stay.
const std::regex kForeignWords(
    R"(\b(mac|macos|os x|finder|launchd|launchctl|launchagents?|plist|dock|spotlight|)"
    R"(keychain|tcc|full disk access|fda|icloud|brew|homebrew|apfs|hfs|tmutil|diskutil|)"
    R"(startup disk|system settings|system preferences|runatload|keepalive|time machine|)"
    R"(tarnwick)\b|/volumes\b|(^|[^/\w])[a-z]\w*\.app\b)",
    std::regex::icase);
const std::regex kInternalNames(R"((^|[^\w./~=-])[a-z]+[A-Z]\w*|\w::\w|Engine\.)");
const char* const kAllowedNames[] = {"tcc-check", "show-in-finder", "optimize-icloud", "twoDays",
                                     "threeDays"};

struct Sweep {
  std::vector<std::string> keep;  // sandbox paths, said as given
  int commands = 0;
  int lines = 0;

  // Checks every line of `text` that is not a JSON document of its own.
  void check(const std::string& command, const std::string& text) {
    ++commands;
    SCOPED_TRACE(command);
    if (nlohmann::json::accept(text)) return;
    for (std::string_view rest = text; !rest.empty();) {
      const auto end = rest.find('\n');
      std::string line(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      if (line.empty() || nlohmann::json::accept(line)) continue;
      ++lines;
      const std::string said = line;
      // A row of a drive listing opens with the drive's mount path: data, not advice (the other
      // tests running beside this one mount their drives under /Volumes).
      if (line.starts_with("/Volumes/")) line.erase(0, line.find(' '));
      for (const auto& part : keep) {
        for (auto at = line.find(part); at != std::string::npos; at = line.find(part))
          line.replace(at, part.size(), "PATH");
      }
      for (const char* name : kAllowedNames) {
        for (auto at = line.find(name); at != std::string::npos; at = line.find(name))
          line.erase(at, std::string_view(name).size());
      }
      EXPECT_FALSE(std::regex_search(line, kForeignWords)) << said;
      EXPECT_FALSE(std::regex_search(line, kInternalNames)) << said;
    }
  }
};

// Given a sandbox home with a tmpfs drive, then no text of either program, its
// help (top-level, every subcommand's and every nested action's), its
// read-only commands, install, run, a folder move and uninstall, names another
// platform or the program's internals.
TEST(CommandLineE2E, EveryTextSpeaksThisPlatformInPlainWords) {
  TmpfsDrive drive("e2e-words-" + std::to_string(getpid()));
  BRIMVALE_REQUIRE_DRIVE(drive);
  TempHome home;
  home.writeConfig(
      configWithDrive(drive.path(), "RULES=(\"archive_old|$HOME/Downloads|*|30|\")\n"));
  (void)prepareDrive(home, drive.path());
  const fs::path scripts = makeStatusWritingScripts(home);
  const fs::path folder = home.path() / "Downloads";
  fs::create_directories(folder);
  ASSERT_TRUE(writeFileAtomically(folder / "file.txt", "kept\n"));
  const fs::path bundle = home.path() / "Applications/Sample.app";
  writeBundle(bundle, "Sample", 1);

  Sweep sweep{.keep = {home.path().string(), drive.path().string(), scripts.string()}};
  const auto app = [&](std::vector<std::string> args) {
    const ProcessResult r = runApp(home, args);
    sweep.check("brimvale " + joined(args), r.out + r.err);
  };
  const auto service = [&](std::vector<std::string> args) {
    const ProcessResult r = runBrimVale(home, args);
    sweep.check("brim-vale " + joined(args), r.out + r.err);
  };

  app({"--help"});
  service({"help"});
  for (const auto& c : app::brimvaleCommands()) app({std::string(c.name), "--help"});
  for (auto command : nestedActions(folder.string())) {
    command.emplace_back("--help");
    app(command);
  }
  for (const auto name : service::subcommandNames()) service({std::string(name), "--help"});

  app({"--scripts", scripts.string(), "install"});
  {
    BackgroundApp run(home, {"--scripts", scripts.string(), "run"}, "run-output.txt");
    EXPECT_TRUE(eventually([&] { return contains(run.output(), "Brimvale is running"); }))
        << run.output();
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0);
    sweep.check("brimvale run", run.output());
  }
  // Runs are separated by "|", words by blanks; DRIVE, FOLDER and BUNDLE stand
  // for the sandbox's.
  const auto runs = [&](std::string_view text, const auto& runOne) {
    std::vector<std::string> args;
    std::string word;
    for (const char c : std::string(text) + "|") {
      if (c != ' ' && c != '|') {
        word += c;
        continue;
      }
      if (!word.empty()) {
        args.push_back(word == "DRIVE"    ? drive.path().string()
                       : word == "FOLDER" ? folder.string()
                       : word == "BUNDLE" ? bundle.string()
                                          : word);
      }
      word.clear();
      if (c == '|') runOne(std::exchange(args, {}));
    }
  };
  runs(
      "status|jobs|notifications|home|history|snapshots|drives|drives assess DRIVE|scan|"
      "drive-transfer status|settings|preflight|discover|apps|apps inspect BUNDLE|apps moved|"
      "transfers|remotes|autosync|pairs|junk list|self-check|care --plan|rules|rules --preview|"
      "move FOLDER --yes|moves|"
      "move-log|parked|relocated|bogus",
      app);
  runs(
      "status|rules|dry-run|log|doctor|validate|rules-preview|tcc-check|list-cloud-roots|"
      "show-in-finder|optimize-icloud FOLDER|optimize-cloud FOLDER|free-space|"
      "transfer-check DRIVE|bogus",
      service);
  // The manual pages install copies, as a reader sees them (one line per paragraph).
  for (const char* page : {"brimvale.1", "brim-vale.1"}) {
    const ProcessResult r = runProcess(
        {.path = "/usr/bin/groff",
         .args = {
             "-man", "-Tutf8", "-P-cbu", "-rLL=400n", "-rHY=0",
             (fs::path(BRIMVALE_PATH).parent_path() / "Scripts/share/man/man1" / page).string()}});
    EXPECT_TRUE(r.succeeded()) << r.err;
    sweep.check(std::string("man ") + page, r.out);
  }
  app({"uninstall", "--leave-relocated", "--yes"});

  ::testing::Test::RecordProperty("commands", sweep.commands);
  ::testing::Test::RecordProperty("lines", sweep.lines);
  std::cout << "Swept " << sweep.commands << " commands, " << sweep.lines << " lines.\n";
}

}  // namespace
}  // namespace brimvale::e2e
