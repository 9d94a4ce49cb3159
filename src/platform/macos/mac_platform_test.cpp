#include "platform/macos/mac_platform.h"

#include <gtest/gtest.h>

#include "testing/base/temp_folder.h"
#include "testing/platform/standin_tool.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;
using testing::StandinTool;

const char* kDfOutput =
    "Filesystem   1024-blocks      Used Available Capacity iused ifree %iused  Mounted on\n"
    "/dev/disk4s1  1953514588 120000000 1833514588     7%      12 18335145  0%   /Volumes/NVMe\n";
const char* kDiskutilImportant =
    "   Volume Name:               NVMe\n"
    "   Volume Available Space:    105.2 GB (105234567168 Bytes) (exactly 205536264 "
    "512-Byte-Units)\n"
    "                              (Important: 110,343,344,128 Bytes, 110.3 GB)\n"
    "   Allocation Block Size:     4096 Bytes\n";

TEST(MacVolumeMeter, UsesDiskutilFreeSpaceAndFallsBackToDf) {
  struct Case {
    const char* name;
    const char* diskutilOut;
    int diskutilExit;
    const char* dfOut;
    VolumeSpace expected;
  } cases[] = {
      {"important count", kDiskutilImportant, 0, kDfOutput, {110343344128u, 1953514588ull * 1024}},
      {"diskutil fails: df available",
       "",
       1,
       kDfOutput,
       {1833514588ull * 1024, 1953514588ull * 1024}},
      {"diskutil reports zero: df available",
       "   Volume Available Space:    0 B (0 Bytes)\n",
       0,
       kDfOutput,
       {1833514588ull * 1024, 1953514588ull * 1024}},
      {"both fail: zeros", "", 1, "", {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder dir;
    StandinTool diskutil(dir, "diskutil");
    StandinTool df(dir, "df");
    diskutil.reply(c.diskutilOut, c.diskutilExit);
    df.reply(c.dfOut, c.dfOut[0] ? 0 : 1);
    MacToolPaths tools;
    tools.diskutil = diskutil.path();
    tools.df = df.path();
    Platform mac = makeMacPlatform(tools);

    VolumeSpace space = mac.volumes->measure("/Volumes/NVMe Drive");
    EXPECT_EQ(space.freeBytes, c.expected.freeBytes);
    EXPECT_EQ(space.totalBytes, c.expected.totalBytes);
    EXPECT_EQ(diskutil.arguments(), (std::vector<std::string>{"info", "/Volumes/NVMe Drive"}));
    EXPECT_EQ(df.arguments(), (std::vector<std::string>{"-k", "/Volumes/NVMe Drive"}));
  }
}

}  // namespace
}  // namespace brimvale::platform
