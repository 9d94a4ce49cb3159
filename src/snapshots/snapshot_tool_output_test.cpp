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

}  // namespace
}  // namespace brimvale::snapshots
