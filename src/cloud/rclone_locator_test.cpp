#include "cloud/rclone_locator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cloud/cloud_testing.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;

fs::path program(const brimvale::testing::TempFolder& dir, const std::string& name,
                 const std::string& script, mode_t mode = 0755) {
  const fs::path path = dir.file(name, script);
  chmod(path.c_str(), mode);
  return path;
}

// Given candidates at every stage, the first usable one wins; a file that
// cannot be run is passed over; `which` is asked only when nothing else exists.
TEST(RcloneLocator, ProbesInOrder) {
  brimvale::testing::TempFolder dir("bv-locate");
  const std::string bundled = program(dir, "app/bin/rclone", "#!/bin/sh\n");
  const std::string notRunnable = program(dir, "app2/bin/rclone", "#!/bin/sh\n", 0644);
  const std::string brew = program(dir, "brew/rclone", "#!/bin/sh\n");
  const std::string usr = program(dir, "usr/rclone", "#!/bin/sh\n");
  const std::string which = program(dir, "env-found", "#!/bin/sh\necho '  /found/rclone  '\n");
  const std::string whichBlank = program(dir, "env-blank", "#!/bin/sh\necho '   '\n");
  const std::string whichFails = program(dir, "env-fails", "#!/bin/sh\nexit 1\n");
  const std::string absent = (dir / "absent").string();
  struct Case {
    std::string what;
    RcloneSearch search;
    std::optional<std::string> found;
  } cases[] = {
      {"bundled copy first", {{bundled}, {brew, usr}, which}, bundled},
      {"non-executable bundled copy skipped", {{notRunnable}, {absent, usr}, which}, usr},
      {"install folders in order", {{}, {brew, usr}, which}, brew},
      {"which as the last resort, trimmed", {{absent}, {absent}, which}, "/found/rclone"},
      {"which finds only blanks", {{absent}, {absent}, whichBlank}, std::nullopt},
      {"which fails", {{absent}, {}, whichFails}, std::nullopt},
      {"no env program at all", {{absent}, {}, absent}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(locateRclone(c.search), c.found);
  }
}

// The copy the installer gives the service (Scripts/bin) is the one the
// application finds first; the older place beside the program still counts.
TEST(RcloneLocator, ShippedCopiesWhereTheInstallerPutsThem) {
  brimvale::testing::TempFolder dir("bv-shipped");
  const std::string absent = (dir / "absent").string();
  const std::string scripts = (dir / "app" / "Scripts" / "bin" / "rclone").string();
  const std::string beside = (dir / "app" / "bin" / "rclone").string();
  struct Case {
    std::string what;
    bool inScripts, besideProgram;
    std::optional<std::string> found;
  } cases[] = {
      {"both: the installer's copy", true, true, scripts},
      {"only the installer's copy", true, false, scripts},
      {"only beside the program", false, true, beside},
      {"neither", false, false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir / "app");
    if (c.inScripts) program(dir, "app/Scripts/bin/rclone", "#!/bin/sh\n");
    if (c.besideProgram) program(dir, "app/bin/rclone", "#!/bin/sh\n");
    RcloneSearch search = defaultRcloneSearch((dir / "app").string());
    search.installFolders = {absent};
    search.env = absent;
    EXPECT_EQ(locateRclone(search), c.found);
  }
}

TEST(RcloneLocator, VersionIsTheFirstLine) {
  EXPECT_TRUE(rcloneVersion(testing::realRclone()).value_or("").starts_with("rclone v"));
  brimvale::testing::TempFolder dir("bv-version");
  EXPECT_EQ(rcloneVersion(program(dir, "failing", "#!/bin/sh\necho v9\nexit 2\n")), std::nullopt);
}

}  // namespace
}  // namespace brimvale::cloud
