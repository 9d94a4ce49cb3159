#include "cloud/rclone_locator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
  const std::string which = program(dir, "env-found", "#!/bin/sh\necho '  /found/rclone  '\n");
  const std::string whichFails = program(dir, "env-fails", "#!/bin/sh\nexit 1\n");
  const std::string absent = (dir / "absent").string();
  struct Case {
    std::string what;
    RcloneSearch search;
    std::optional<std::string> found;
  } cases[] = {
      {"bundled copy first", {{bundled}, {brew}, which}, bundled},
      {"non-executable bundled copy skipped", {{notRunnable}, {absent, brew}, which}, brew},
      {"which as the last resort, trimmed", {{absent}, {absent}, which}, "/found/rclone"},
      {"which fails", {{absent}, {}, whichFails}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(locateRclone(c.search), c.found);
  }
}

}  // namespace
}  // namespace brimvale::cloud
