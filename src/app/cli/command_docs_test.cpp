#include "app/cli/command_docs.h"

#include <gtest/gtest.h>

#include "app/cli/commands.h"
#include "common/base/process.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
using brimvale::testing::TempFolder;

ProgramDoc sampleDoc() {
  return {.name = "brim-vale",
          .summary = "keeps a disk free",
          .synopsis = "[subcommand [arguments]]",
          .description = {"first → second", "'quoted first"},
          .options = {{.names = {"--version"}, .help = "the version"}},
          .commands = {{.name = "move-dir", .usage = "move-dir PATH", .help = ".dot, back\\slash"},
                       {.name = "reclaim",
                        .help = "delete clutter",
                        .options = {{.names = {"-y", "--yes"}, .help = "no question"}},
                        .arguments = {{.name = "WORD", .choices = {"trash", "syslog"}}}},
                       {.name = "resume"}},
          .exitStatus = {{"3", "the drive is not usable"}},
          .environment = {{"RSYNC", "the rsync"}},
          .files = {{"~/.brimvale/state/", "records"}},
          .examples = {{"brvl pause", "stop"}}};
}

// The real tree, as help shows it.
ProgramDoc brimvaleDoc() {
  CLI::App cli;
  BrimvaleChoice choice;
  declareBrimvaleCli(cli, choice);
  return {.name = "brimvale",
          .summary = "s",
          .synopsis = "SUBCOMMAND",
          .description = {"d"},
          .options = cliOptions(cli),
          .commands = cliCommands(cli, {{"moves", "id", "move-ids"}})};
}

ProcessResult run(const std::string& program, const std::vector<std::string>& args) {
  return runProcess({.path = program, .args = args});
}

// Roff must show every text as written: '-' as \-, '\' as \e, beyond ASCII
// by name, and a line that starts with '.' or '\'' must not turn into a
// request. A name another row shows gets no entry of its own.
TEST(CommandDocs, ManPageShowsEverySectionWithRoffEscapes) {
  const std::string page = manPage(sampleDoc(), "1.2.3");
  const std::string expected[] = {
      ".TH BRIM\\-VALE 1 \"\" \"brim\\-vale 1.2.3\" \"User Commands\"\n",
      ".SH NAME\nbrim\\-vale \\- keeps a disk free\n",
      ".SH SYNOPSIS\n.B brim\\-vale\n[subcommand [arguments]]\n",
      ".SH DESCRIPTION\nfirst \\[u2192] second\n.PP\n\\&'quoted first\n",
      ".SH OPTIONS\n.TP\n.B \\-\\-version\nthe version\n",
      ".SH COMMANDS\n.TP\n.B move\\-dir PATH\n\\&.dot, back\\eslash\n",
      ".B reclaim [WORD]\ndelete clutter\n.RS\n.TP\n.B WORD\none of: trash, syslog\n"
      ".TP\n.B \\-y, \\-\\-yes\nno question\n.RE\n",
      ".SH EXIT STATUS\n.TP\n.B 3\nthe drive is not usable\n",
      ".SH ENVIRONMENT\n.TP\n.B RSYNC\n",
      ".SH FILES\n.TP\n.B ~/.brimvale/state/\n",
      ".SH EXAMPLES\n.TP\n.B brvl pause\n",
  };
  for (const auto& part : expected) {
    SCOPED_TRACE(part);
    EXPECT_NE(page.find(part), std::string::npos) << page;
  }
  EXPECT_EQ(page.find("resume"), std::string::npos);
}

// groff warns of anything a reader would see wrong; the real tree's page
// must give no warning at all.
TEST(CommandDocs, RealManPageReadsWithoutWarnings) {
  if (!std::filesystem::exists("/usr/bin/groff")) GTEST_SKIP() << "no groff here";
  const ProgramDoc doc = brimvaleDoc();
  ASSERT_GT(doc.commands.size(), 30u);
  for (const auto& c : doc.commands) EXPECT_NE(c.name, kCompletionCommand);
  TempFolder dir;
  for (const auto& page : {manPage(doc, "1"), manPage(sampleDoc(), "1")}) {
    const auto path = dir.file("page.1", page);
    const ProcessResult r = run("/usr/bin/groff", {"-man", "-Tutf8", "-ww", "-z", path.string()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
  }
}

struct CompletionCase {
  std::vector<std::string> words;  // the last is the word being completed
  std::string offered;             // what the reply holds, in order
};

// Drives the rendered script the way each shell does: bash through
// COMP_WORDS, zsh through `words` with compadd and _files stood in for.
// `brimvale` itself is a function that answers the id listing.
std::string driver(std::string_view shell, const std::string& script,
                   const std::vector<std::string>& words) {
  std::string list;
  for (const auto& w : words) list += " '" + w + "'";
  const std::string count = std::to_string(words.size());
  const std::string program =
      "brimvale() { [ \"$1 $2\" = '__complete move-ids' ] && printf '%s\\n' ID-1 ID-2; }\n";
  if (shell == "bash") {
    return "source '" + script + "'\n" + program + "COMP_WORDS=(" + list +
           ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
           "\n_brimvale\necho \"${COMPREPLY[*]}\"\n";
  }
  return "compadd() { shift; print -r -- \"$*\"; }\n_files() { print -r -- @files; }\n" + program +
         "words=(" + list + ")\nCURRENT=" + count + "\nsource '" + script + "'\n";
}

// zsh's compadd narrows by the typed prefix itself, so the stand-in prints
// every candidate and a case holds when the expected run appears in order.
TEST(CommandDocs, CompletionOffersOptionsChoicesAndListedIds) {
  const ProgramDoc doc = brimvaleDoc();
  TempFolder dir;
  dir.file("files/sub-folder/x");
  const CompletionCase cases[] = {
      {{"brimvale", "mov"}, "move moves move-log"},
      {{"brimvale", "apps", "--sort", ""}, "name last-used size safety"},
      {{"brimvale", "apps", "--sort", "s"}, "size safety"},
      {{"brimvale", "apps", "--sort", "=", "l"}, "last-used"},
      {{"brimvale", "apps", "--json", "in"}, "inspect"},
      {{"brimvale", "moves", "revert", ""}, "ID-1 ID-2"},
      {{"brimvale", "moves", "--al"}, "--allow-root"},
      {{"brimvale", "rules", "--pre"}, "--preview"},
      {{"brimvale", "--scripts", (dir / "files/sub").string()}, "sub-folder"},
  };
  for (const std::string shell : {"bash", "zsh"}) {
    const std::string path = "/usr/bin/" + shell;
    if (!std::filesystem::exists(path)) continue;
    const auto script =
        dir.file(shell + "-completion", shell == "bash" ? bashCompletion(doc, "brimvale")
                                                        : zshCompletion(doc, "brimvale"));
    EXPECT_EQ(run(path, {"-n", script.string()}).exitCode, 0) << shell;
    for (const auto& c : cases) {
      if (shell == "zsh" && c.offered == "sub-folder") continue;  // _files is a stand-in there
      SCOPED_TRACE(shell + ": " + c.words.back());
      const auto test = dir.file("driver", driver(shell, script.string(), c.words));
      const ProcessResult r = run(path, {shell == "bash" ? "--norc" : "-f", test.string()});
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find(c.offered), std::string::npos) << r.out;
    }
  }
}

}  // namespace
}  // namespace brimvale::app
