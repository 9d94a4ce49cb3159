#include "app/cli/command_docs.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/base/temp_folder.h"

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

}  // namespace
}  // namespace brimvale::app
