#include "app/cli/command_docs.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
using brimvale::testing::TempFolder;

ProgramDoc sampleDoc() {
  return {.name = "brim-vale",
          .summary = "keeps a disk free",
          .synopsis = "[subcommand [arguments]]",
          .words = {"status", "move-dir", "select-drive", "--help"},
          .rows = {{"status", "what is going on"},
                   {"move-dir PATH", ".dot first, then a back\\slash"},
                   {"select-drive PATH [force]", "use the drive at PATH"}},
          .notes = "'quoted first"};
}

// Roff must show every text as written: '-' as \-, '\' as \e, and a line
// that starts with '.' or '\'' must not turn into a request.
TEST(CommandDocs, ManPageShowsEveryRowWithRoffEscapes) {
  const std::string page = manPage(sampleDoc(), "1.2.3");
  const std::string expected[] = {
      ".TH BRIM\\-VALE 1 \"\" \"brim\\-vale 1.2.3\" \"User Commands\"\n",
      ".SH NAME\nbrim\\-vale \\- keeps a disk free\n",
      ".SH SYNOPSIS\n.B brim\\-vale\n[subcommand [arguments]]\n",
      ".TP\n.B status\nwhat is going on\n",
      ".TP\n.B move\\-dir PATH\n\\&.dot first, then a back\\eslash\n",
      ".TP\n.B select\\-drive PATH [force]\nuse the drive at PATH\n",
      ".SH NOTES\n\\&'quoted first\n",
  };
  for (const auto& part : expected) {
    SCOPED_TRACE(part);
    EXPECT_NE(page.find(part), std::string::npos) << page;
  }
  if (!std::filesystem::exists("/usr/bin/groff")) GTEST_SKIP() << "no groff here";
  TempFolder dir;
  const auto path = dir.file("brim-vale.1", page);
  const ProcessResult r = runProcess(
      {.path = "/usr/bin/groff", .args = {"-man", "-Tutf8", "-ww", "-z", path.string()}});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
}

// The bash script, run by a real bash as the shell would, offers the
// subcommands that start with what was typed, and files after them.
TEST(CommandDocs, BashCompletionOffersMatchingSubcommands) {
  if (!std::filesystem::exists("/bin/bash")) GTEST_SKIP() << "no bash here";
  TempFolder dir;
  const auto script = dir.file("brim-vale", bashCompletion(sampleDoc()));
  ASSERT_EQ(runProcess({.path = "/bin/bash", .args = {"-n", script.string()}}).exitCode, 0);
  struct Case {
    std::string words;
    int current;
    std::string offered;
  };
  dir.file("selected.txt", "");
  const Case cases[] = {
      {"brim-vale s", 1, "status select-drive "},
      {"brim-vale move", 1, "move-dir "},
      {"brim-vale x", 1, ""},
      {"brim-vale move-dir sel", 2, "selected.txt "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words);
    const std::string run = "source " + script.string() + "; cd " + dir.path().string() +
                            "; COMP_WORDS=(" + c.words +
                            "); COMP_CWORD=" + std::to_string(c.current) +
                            "; _brim_vale; for w in \"${COMPREPLY[@]}\"; do printf '%s ' \"$w\"; "
                            "done";
    const ProcessResult r = runProcess({.path = "/bin/bash", .args = {"-c", run}});
    EXPECT_EQ(r.out, c.offered) << r.err;
  }
}

TEST(CommandDocs, ZshCompletionIsReadableByZsh) {
  const std::string script = zshCompletion(sampleDoc());
  EXPECT_TRUE(script.starts_with("#compdef brim-vale\n"));
  EXPECT_NE(script.find("compadd -- status move-dir select-drive --help\n"), std::string::npos);
  if (!std::filesystem::exists("/usr/bin/zsh")) GTEST_SKIP() << "no zsh here";
  TempFolder dir;
  const auto path = dir.file("_brim-vale", script);
  EXPECT_EQ(runProcess({.path = "/usr/bin/zsh", .args = {"-n", path.string()}}).exitCode, 0);
}

}  // namespace
}  // namespace brimvale::app
