#include "app/prep_drive_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/temp_folder.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

TEST(PrepDrive, OnlyMarkedFoldersOfOtherComputersCount) {
  testing::TempFolder drive("bv-prep");
  drive.file("BRIM-This-Mac/.hollin-managed");
  drive.file("BRIM-Kitchen/.hollin-managed");
  drive.folder("BRIM-Unmarked");
  drive.file("BRIM-a-file");
  drive.folder("Photos");
  EXPECT_EQ(otherWorkingFolders(drive.path(), "BRIM-This-Mac"),
            (std::vector<std::string>{"BRIM-Kitchen"}));
  EXPECT_TRUE(otherWorkingFolders(drive / "missing", "BRIM-This-Mac").empty());
}

TEST(PrepDrive, RecoverRunsOnlyWhenAllowedAndAgreed) {
  struct Case {
    const char* name;
    PrepDriveOptions options;
    bool otherComputer;
    bool terminal;
    std::string answer;
    int status;
    bool recovered;
  };
  const Case cases[] = {
      {"--auto on a fresh drive", {.autoYes = true}, false, false, "", 0, true},
      {"another computer's folder", {.autoYes = true}, true, false, "", 1, false},
      {"another computer's folder, allowed",
       {.autoYes = true, .allowOtherComputer = true},
       true,
       false,
       "",
       0,
       true},
      {"dry run", {.autoYes = true, .dryRun = true}, false, false, "", 0, false},
      {"no terminal, no --auto", {}, false, false, "", 0, false},
      {"asked, agreed", {}, false, true, "y\n", 0, true},
      {"asked, declined", {}, false, true, "\n", 1, false},
      {"another drive named",
       {.drive = "/Volumes/Other", .autoYes = true},
       false,
       false,
       "",
       2,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder drive("bv-prep");
    if (c.otherComputer) drive.file("BRIM-Kitchen/.hollin-managed");
    std::vector<std::vector<std::string>> asked;
    std::ostringstream out, err;
    std::istringstream in(c.answer);
    PrepDriveHost host{StatePaths::forHome(drive / "home"),
                       drive.path(),
                       "This Mac",
                       [&](const std::vector<std::string>& args) {
                         asked.push_back(args);
                         return ProcessResult{.outcome = ProcessOutcome::kExited, .exitCode = 0};
                       },
                       out,
                       err,
                       in,
                       c.terminal};
    EXPECT_EQ(prepDriveCommand(host, c.options), c.status) << out.str() << err.str();
    EXPECT_EQ(asked.size(), c.recovered ? 1u : 0u);
    if (c.recovered) {
      EXPECT_EQ(asked[0], (std::vector<std::string>{"recover"}));
    }
    if (c.status != 0) {
      EXPECT_NE(err.str() + out.str(), "");
    }
  }
}

}  // namespace
}  // namespace brimvale::app
