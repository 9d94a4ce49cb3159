#include "platform/macos/mac_drives.h"

#include <gtest/gtest.h>

#include "testing/platform/recorded_diskutil.h"

namespace brimvale::platform {
namespace {

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

}  // namespace
}  // namespace brimvale::platform
