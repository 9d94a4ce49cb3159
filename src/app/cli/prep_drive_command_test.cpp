#include "app/cli/prep_drive_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

TEST(PrepDrive, RecoverRunsOnlyWhenAllowedAndAgreed) {
  struct Case {
    const char* name;
    PrepDriveOptions options;
    bool otherComputer;
    bool terminal;
    std::string answer;
    int status;
    bool recovered;
    int selectDriveExit = 0;  // when another drive is named
  };
  const Case cases[] = {
      {"--auto on a fresh drive", {.autoYes = true}, false, false, "", 0, true},
      {"another computer's folder", {.autoYes = true}, true, false, "", 1, false},
      {"asked, declined", {}, false, true, "\n", 1, false},
      {"no terminal to ask on", {}, false, false, "y\n", 1, false},
      {"another drive named: chosen, then laid out",
       {.drive = "OTHER", .autoYes = true},
       false,
       false,
       "",
       0,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder drive("bv-prep");
    brimvale::testing::TempFolder other("bv-prep-other");
    PrepDriveOptions options = c.options;
    if (options.drive == "OTHER") options.drive = other.path().string();
    if (c.otherComputer) drive.file("BRIM-Kitchen/.hollin-managed");
    std::vector<std::vector<std::string>> asked;
    std::ostringstream out, err;
    std::istringstream in(c.answer);
    PrepDriveHost host{StatePaths::forHome(drive / "home"),
                       drive.path(),
                       "",
                       "This Mac",
                       [&](const std::vector<std::string>& args) {
                         asked.push_back(args);
                         const int code = args[0] == "select-drive" ? c.selectDriveExit : 0;
                         return ProcessResult{.outcome = ProcessOutcome::kExited, .exitCode = code};
                       },
                       out,
                       err,
                       in,
                       c.terminal};
    EXPECT_EQ(prepDriveCommand(host, options), c.status) << out.str() << err.str();
    std::vector<std::vector<std::string>> expected;
    if (!options.drive.empty() && (c.recovered || c.selectDriveExit != 0)) {
      expected.push_back({"select-drive", other.path().string()});
    }
    if (c.recovered) expected.push_back({"recover"});
    EXPECT_EQ(asked, expected);
    if (c.status != 0) {
      EXPECT_NE(err.str() + out.str(), "");
    }
  }
}

}  // namespace
}  // namespace brimvale::app
