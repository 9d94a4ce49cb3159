#include "app/host/bundled_programs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

// Each program reaches its subcommand with every argument unchanged, even
// when brimvale lives at a path with a quote, a blank and a newline.
TEST(BundledPrograms, EachRunsItsSubcommandWithItsArgumentsUnchanged) {
  brimvale::testing::TempFolder dir("bv-bundled");
  const fs::path brimvale = dir.folder("App 'x'\nfolder") / "brimvale";
  ASSERT_TRUE(writeFileAtomically(brimvale, "#!/bin/sh\nprintf '[%s]' \"$@\"\n", {.mode = 0755}));
  for (const auto& program : kBundledPrograms) {
    SCOPED_TRACE(std::string(program.file));
    const fs::path script = dir / program.file;
    ASSERT_TRUE(
        writeFileAtomically(script, bundledProgramScript(program, brimvale), {.mode = 0755}));
    const ProcessResult r =
        runProcess({.path = script.string(), .args = {"--dry-run", "two words", "$HOME", "it's"}});
    EXPECT_EQ(r.out,
              "[" + std::string(program.subcommand) + "][--dry-run][two words][$HOME][it's]");
  }
}

}  // namespace
}  // namespace brimvale::app
