#include "snapshots/snapshot_tool_output.h"

#include <gtest/gtest.h>

#include <ctime>

namespace brimvale::snapshots {
namespace {

// The local date and time `t` stands for, as the stamp writes it.
std::string localStamp(std::time_t t) {
  std::tm fields{};
  localtime_r(&t, &fields);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &fields);
  return text;
}

TEST(SnapshotList, KeepsBackupAndSystemSnapshotsAndIgnoresTheRest) {
  const auto list = parseSnapshotList(
      "Snapshots for disk /:\n"
      "  com.apple.TimeMachine.2024-05-01-093000.local  \r\n"
      "\n"
      "com.apple.os.update-8A1B2C3D\n"
      "com.apple.TimeMachine.2024-5-1-093000.local\n"
      "com.apple.TimeMachine.2024-02-30-120000.local\n"
      "com.apple.TimeMachine.local\n"
      "com.apple.TimeMachine.2024-05-01-093000\n");
  ASSERT_EQ(list.size(), 3u);

  EXPECT_EQ(list[0].name, "com.apple.TimeMachine.2024-05-01-093000.local");
  EXPECT_EQ(list[0].stamp, "2024-05-01-093000");
  EXPECT_FALSE(list[0].isProtected);
  ASSERT_TRUE(list[0].date);
  EXPECT_EQ(localStamp(*list[0].date), "2024-05-01-093000");

  EXPECT_EQ(list[1].name, "com.apple.os.update-8A1B2C3D");
  EXPECT_TRUE(list[1].isProtected);
  EXPECT_FALSE(list[1].date);

  // Right shape, impossible date: still listed so it can be deleted.
  EXPECT_EQ(list[2].stamp, "2024-02-30-120000");
  EXPECT_FALSE(list[2].date);
}

TEST(SnapshotStamp, ParsesOnlyRealCalendarTimes) {
  struct Case {
    const char* stamp;
    bool parses;
  } cases[] = {
      {"2024-02-29-235959", true},  {"2023-02-29-120000", false}, {"2024-13-01-000000", false},
      {"2024-04-31-000000", false}, {"2024-05-01-240000", false}, {"2024-05-01-093060", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stamp);
    EXPECT_EQ(parseStampDate(c.stamp).has_value(), c.parses);
  }
}

TEST(SnapshotDelete, RefusesProtectedAndMalformedIdentifiers) {
  struct Case {
    const char* identifier;
    std::optional<DeleteRefusal> refusal;
  } cases[] = {
      {"2024-05-01-093000", std::nullopt},
      {"2024-05-01-09300", DeleteRefusal::kInvalidIdentifier},    // 16 characters
      {"2024-05-01-0930000", DeleteRefusal::kInvalidIdentifier},  // 18 characters
      {"2024-05-01-09300a", DeleteRefusal::kInvalidIdentifier},
      {"2024-05-01-093000;", DeleteRefusal::kInvalidIdentifier},
      {"", DeleteRefusal::kInvalidIdentifier},
      {"com.apple.os.update-8A1B2C3D", DeleteRefusal::kProtected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identifier);
    EXPECT_EQ(deleteRefusal(c.identifier), c.refusal);
  }
}

TEST(SnapshotThin, ClampsBytesAndUrgency) {
  struct Case {
    std::int64_t bytes;
    int urgency;
    const char* wantBytes;
    const char* wantUrgency;
  } cases[] = {
      {0, 9, "1", "4"},
      {-5, 0, "1", "1"},
      {100'000'000'000, 4, "100000000000", "4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " at " + std::to_string(c.urgency));
    EXPECT_EQ(thinArguments(c.bytes, c.urgency),
              (std::vector<std::string>{"thinlocalsnapshots", "/", c.wantBytes, c.wantUrgency}));
  }
}

TEST(SnapshotDestination, ReadsTheFirstDestination) {
  const auto first = parseDestinationInfo(
      "====================================================\n"
      "Name          : Backup Disk: Blue\n"
      "Kind          : Local\n"
      "Mount Point   : /Volumes/Backup Disk\n"
      "ID            : 1234\n"
      "====================================================\n"
      "Name          : Office NAS\n"
      "Kind          : Network\n");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "Backup Disk: Blue");  // split at the first colon only
  EXPECT_EQ(first->mountPoint, "/Volumes/Backup Disk");

  EXPECT_FALSE(parseDestinationInfo("tmutil: No destinations configured.\n"));
  EXPECT_FALSE(parseDestinationInfo(""));
}

TEST(SnapshotLatestBackup, DatesTheLastComponent) {
  struct Case {
    const char* output;
    const char* path;
    bool dated;
  } cases[] = {
      {"/Volumes/Backup/Backups.backupdb/Mac/2024-05-01-093000\n",
       "/Volumes/Backup/Backups.backupdb/Mac/2024-05-01-093000", true},
      {"/Volumes/.timemachine/ABC/2024-05-01-093000.backup/\n",
       "/Volumes/.timemachine/ABC/2024-05-01-093000.backup/", true},
      {"/Volumes/Backup/Latest\n", "/Volumes/Backup/Latest", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    const auto backup = parseLatestBackup(c.output);
    ASSERT_TRUE(backup);
    EXPECT_EQ(backup->path, c.path);
    EXPECT_EQ(backup->date.has_value(), c.dated);
  }
  EXPECT_FALSE(parseLatestBackup(" \n"));
}

}  // namespace
}  // namespace brimvale::snapshots
