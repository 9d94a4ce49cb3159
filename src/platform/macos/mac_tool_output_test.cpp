#include "platform/macos/mac_tool_output.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

// Recorded from an APFS startup volume; the available-space lines vary per case.
const std::string kDiskutilHead = R"(   Device Identifier:         disk3s1s1
   Device Node:               /dev/disk3s1s1
   Whole:                     No
   Part of Whole:             disk3

   Volume Name:               Macintosh HD
   Mounted:                   Yes
   Mount Point:               /

   Partition Type:            41504653-0000-11AA-AA11-00306543ECAC
   File System Personality:   APFS
   Type (Bundle):             apfs
   Name (User Visible):       APFS
   Owners:                    Enabled

   Disk Size:                 494.4 GB (494384795648 Bytes) (exactly 965595304 512-Byte-Units)
   Device Block Size:         4096 Bytes

   Volume Used Space:         11.2 GB (11175419904 Bytes) (exactly 21826992 512-Byte-Units)
   Container Total Space:     494.4 GB (494384795648 Bytes) (exactly 965595304 512-Byte-Units)
   Container Free Space:      105.2 GB (105234567168 Bytes) (exactly 205536264 512-Byte-Units)
)";
const std::string kDiskutilTail = R"(   Allocation Block Size:     4096 Bytes

   Media OS Use Only:         No
   Media Read-Only:           No
   Volume Read-Only:          Yes (read-only mount flag set)
)";

TEST(DiskutilFreeBytes, PrefersImportantCountElseSectionCount) {
  struct Case {
    const char* name;
    std::string section;
    std::optional<std::uint64_t> expected;
  } cases[] = {
      {"important with colon",
       "   Volume Available Space:    105.2 GB (105,234,567,168 Bytes) (exactly 205536264 "
       "512-Byte-Units)\n"
       "                              (Important: 110,343,344,128 Bytes, 110.3 GB)\n",
       110343344128u},
      {"no important line: the section's own count",
       "   Volume Available Space:    105.2 GB (105234567168 Bytes) (exactly 205536264 "
       "512-Byte-Units)\n",
       105234567168u},
      {"bare comma count on the opening line",
       "   Volume Available Space:    105,234,567,168 Bytes (105.2 GB)\n", 105234567168u},
      {"an Important line after the section closed is ignored",
       "   Volume Available Space:    105.2 GB (105234567168 Bytes)\n"
       "   Volume Free Space:         1.0 GB (1000000000 Bytes)\n"
       "                              (Important: 7 Bytes)\n",
       105234567168u},
      {"section without a byte count", "   Volume Available Space:    n/a\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parseDiskutilFreeBytes(kDiskutilHead + c.section + kDiskutilTail), c.expected);
  }
  EXPECT_EQ(parseDiskutilFreeBytes(kDiskutilHead + kDiskutilTail), std::nullopt);
}

TEST(DfKilobytes, ReadsSizeAndAvailableFromTheSecondLine) {
  struct Case {
    const char* name;
    const char* output;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> expected;
  } cases[] = {
      {"startup volume",
       "Filesystem     1024-blocks     Used Available Capacity iused     ifree %iused  Mounted "
       "on\n/dev/disk3s1s1   482797652 10913184 102768160    10%  404167 1027681600    0%   /\n",
       std::pair<std::uint64_t, std::uint64_t>{482797652, 102768160}},
      {"mount point with blanks",
       "Filesystem   1024-blocks      Used Available Capacity iused ifree %iused  Mounted on\n"
       "/dev/disk4s1  1953514588 120000000 1833514588     7%      12 18335145  0%   "
       "/Volumes/NVMe Drive\n",
       std::pair<std::uint64_t, std::uint64_t>{1953514588, 1833514588}},
      {"error text", "df: /nowhere: No such file or directory\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = parseDfKilobytes(c.output);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(got->totalKiB, c.expected->first);
      EXPECT_EQ(got->availableKiB, c.expected->second);
    }
  }
}

TEST(MountOutput, MatchesOnlyTheExactMountPoint) {
  const char* output =
      "/dev/disk3s1s1 on / (apfs, sealed, local, read-only, journaled)\n"
      "devfs on /dev (devfs, local, nobrowse)\n"
      "/dev/disk5s1 on /Volumes/NVMe Backup (apfs, local, nodev, nosuid, journaled, noowners)\n"
      "/dev/disk4s1 on /Volumes/Fast (1) (apfs, local, nodev, nosuid, journaled, noowners)\n";
  struct Case {
    const char* path;
    bool mounted;
  } cases[] = {
      {"/", true},
      {"/Volumes/NVMe Backup", true},
      {"/Volumes/NVMe", false},  // only a longer name starting the same way is mounted
      {"/Volumes/Fast (1)", true},
      {"/dev/disk4s1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(mountOutputHasMountPoint(output, c.path), c.mounted);
  }
}

TEST(HidIdle, ReadsNanosecondsFromTheFirstIdleLine) {
  const std::string tree =
      "+-o Root  <class IORegistryEntry, id 0x100000100, retain 32>\n"
      "  +-o IOHIDSystem  <class IOHIDSystem, id 0x1000004c3, registered, matched, active, "
      "busy 0 (0 ms), retain 17>\n"
      "    | {\n"
      "    |   \"HIDScrollResetIdle\" = 1\n";
  struct Case {
    const char* name;
    std::string output;
    std::uint64_t seconds;
  } cases[] = {
      {"idle line", tree + "    |   \"HIDIdleTime\" = 73948173125\n    | }\n", 73},
      {"no idle line", tree + "    | }\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parseHidIdleSeconds(c.output), c.seconds);
  }
}

TEST(PmsetBattery, ReadsPowerSourceAndInternalBatteryPercent) {
  struct Case {
    const char* name;
    const char* output;
    bool onBattery;
    int percent;
  } cases[] = {
      {"laptop on battery",
       "Now drawing from 'Battery Power'\n"
       " -InternalBattery-0 (id=4653155)\t87%; discharging; 5:12 remaining present: true\n",
       true, 87},
      {"laptop on AC",
       "Now drawing from 'AC Power'\n"
       " -InternalBattery-0 (id=4653155)\t100%; charged; 0:00 remaining present: true\n",
       false, 100},
      {"desktop", "Now drawing from 'AC Power'\n", false, 100},
      {"desktop on a UPS: its charge is not the machine's battery",
       "Now drawing from 'UPS Power'\n"
       " -CP1500PFCLCD (id=2342)\t64%; discharging; 18:00 remaining present: true\n",
       false, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pmsetOnBattery(c.output), c.onBattery);
    EXPECT_EQ(parsePmsetBatteryPercent(c.output), c.percent);
  }
}

TEST(NotificationScript, KeepsEveryTextInsideItsStringLiteral) {
  EXPECT_EQ(notificationScript("Drive \"NVMe\" is full", "Free C:\\temp\nnow", "Tink"),
            "display notification \"Free C:\\\\temp\nnow\" with title \"Drive \\\"NVMe\\\" is "
            "full\" sound name \"Tink\"");
  // A sound name cannot close its literal and add a command.
  EXPECT_EQ(notificationScript("t", "b", "Tink\" & do shell script \"x"),
            "display notification \"b\" with title \"t\" sound name \"Tink\\\" & do shell "
            "script \\\"x\"");
}

TEST(DiskutilVolumeUuid, ReadsTheVolumeUuidLineOnly) {
  EXPECT_EQ(parseDiskutilVolumeUuid(
                "   Volume Name:              NVMe\n"
                "   Disk / Partition UUID:    11111111-AAAA\n"
                "   Volume UUID:              5E3B7C1A-0D2F-4E5A-9B8C-1234567890AB\n"),
            "5E3B7C1A-0D2F-4E5A-9B8C-1234567890AB");
  EXPECT_EQ(parseDiskutilVolumeUuid("   Volume Name:              NVMe\n"), "");
}

TEST(StatFlags, FindsDatalessAmongFlagNames) {
  struct Case {
    const char* output;
    bool dataless;
  } cases[] = {{"compressed,dataless\n", true}, {"-\n", false}, {"notdataless\n", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(statFlagsIncludeDataless(c.output), c.dataless);
  }
}

}  // namespace
}  // namespace brimvale::platform
