#include "platform/macos/mac_drives.h"

#include <gtest/gtest.h>

#include "platform/testing/recorded_diskutil.h"
#include "platform/testing/standin_tool.h"
#include "testing/temp_folder.h"

namespace brimvale::platform {
namespace {

using brimvale::testing::TempFolder;
using testing::StandinTool;

TEST(DiskutilDriveFields, ReadsEachFieldAfterItsKey) {
  struct Case {
    const char* name;
    const char* output;
    DriveInfo expected;
  } cases[] = {
      {"external exFAT",
       testing::kDiskutilExternalExfat,
       {"ExFAT", "USB", "Removable", "External", "disk5s1",
        "3C1B8A4E-5F0D-3B7A-9E21-6D4C2B1A0F99"}},
      {"SMB share: blank fields stay empty",
       testing::kDiskutilSmbShare,
       {"SMB", "SMB", "", "", "", ""}},
      {"internal APFS",
       testing::kDiskutilInternalApfs,
       {"APFS", "Apple Fabric", "Fixed", "Internal", "disk3s5",
        "8F3A2B10-1C2D-4E5F-9A8B-7C6D5E4F3A2B"}},
      {"no output", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DriveInfo info = parseDiskutilDriveFields(c.output);
    EXPECT_EQ(info.filesystem, c.expected.filesystem);
    EXPECT_EQ(info.protocol, c.expected.protocol);
    EXPECT_EQ(info.removable, c.expected.removable);
    EXPECT_EQ(info.location, c.expected.location);
    EXPECT_EQ(info.device, c.expected.device);
    EXPECT_EQ(info.uuid, c.expected.uuid);
  }
}

TEST(MacDriveTools, CombinesDiskutilAndDfAndDegradesToEmpty) {
  TempFolder dir;
  StandinTool diskutil(dir, "diskutil");
  StandinTool df(dir, "df");
  MacToolPaths tools;
  tools.diskutil = diskutil.path();
  tools.df = df.path();
  auto drives = makeMacDriveTools(tools);

  diskutil.reply(testing::kDiskutilExternalExfat);
  df.reply(
      "Filesystem   1M-blocks   Used Available Capacity iused ifree %iused  Mounted on\n"
      "/dev/disk5s1    953828  83742    870086     9%      1     0  100%   /Volumes/Field Drive\n");
  DriveInfo info = drives->info("/Volumes/Field Drive");
  EXPECT_EQ(info.filesystem, "ExFAT");
  EXPECT_EQ(info.totalMiB, 953828u);
  EXPECT_EQ(info.freeMiB, 870086u);
  EXPECT_EQ(df.arguments(), (std::vector<std::string>{"-m", "/Volumes/Field Drive"}));

  diskutil.reply("", 1);
  df.reply("", 1);
  info = drives->info("/Volumes/Gone");
  EXPECT_EQ(info.filesystem, "");
  EXPECT_EQ(info.freeMiB, 0u);
}

}  // namespace
}  // namespace brimvale::platform
