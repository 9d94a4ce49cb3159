#include "platform/linux/linux_bundle_probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <ctime>

#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

TEST(LinuxBundleProbe, LastUsedIsTheProgramsAccessTimeWhereOneIsKept) {
  testing::TempFolder tmp;
  const auto program = tmp.file("Tool.app/Contents/MacOS/Tool", "#!");
  const timespec times[2] = {{.tv_sec = 1'700'000'000, .tv_nsec = 0},
                             {.tv_sec = 0, .tv_nsec = UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, program.c_str(), times, 0), 0);
  struct Case {
    const char* name;
    std::string executable;
    bool known;
  };
  const Case cases[] = {
      {"the program", program.string(), true},
      {"no program named", "", false},
      {"a program that is missing", (tmp / "Tool.app/Contents/MacOS/Gone").string(), false},
  };
  // A temporary folder mounted noatime keeps no record: then nothing is known at all.
  struct statvfs volume {};
  ASSERT_EQ(statvfs(program.c_str(), &volume), 0);
  const bool keepsAccessTimes = (volume.f_flag & ST_NOATIME) == 0;
  auto probe = makeLinuxBundleProbe();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto used = probe->lastUsed((tmp / "Tool.app").string(), c.executable);
    EXPECT_EQ(used, c.known && keepsAccessTimes ? std::optional<std::int64_t>(1'700'000'000)
                                                : std::nullopt);
    EXPECT_FALSE(probe->appleSigned((tmp / "Tool.app").string()));
  }
}

}  // namespace
}  // namespace brimvale::platform
