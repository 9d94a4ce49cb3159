#include "service/relocation/move_dir_record.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/base/file_io.h"
#include "testing/base/raw_name_checks.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

// Paths with newlines, tabs and backslashes come back exactly; a record that
// can't be decoded is skipped and left on disk.
TEST(MoveDirRecord, RecordsComeBackExactlyAndBrokenOnesAreLeftAlone) {
  brimvale::testing::ContextInTempHome env("");
  const MoveDirRecord written{.id = "1777600000-42",
                              .src = "/home/ada/odd\nname\twith\\slash",
                              .target = "/Volumes/NVMe/BRIM-Mac/Relocated/odd\nname\twith\\slash",
                              .parked = "/home/ada/odd\nname\twith\\slash.hollin-old",
                              .device = 2049,
                              .inode = 1234567,
                              .bytes = 8192,
                              .phase = MoveDirPhase::kParked,
                              .started = 1'777'600'000};
  ASSERT_TRUE(writeMoveDirRecord(env.paths(), written));
  std::ofstream(moveDirRecordFolder(env.paths()) / "broken.kv") << "src=/x\nphase=flying\n";

  const auto records = readMoveDirRecords(env.paths());
  ASSERT_EQ(records.size(), 1u);
  const MoveDirRecord& read = records[0];
  EXPECT_EQ(read.src, written.src);
  EXPECT_EQ(read.parked, written.parked);
  EXPECT_EQ(read.inode, 1234567u);
  EXPECT_EQ(read.phase, MoveDirPhase::kParked);
  EXPECT_TRUE(fs::exists(moveDirRecordFolder(env.paths()) / "broken.kv"));

  EXPECT_TRUE(findMoveDirRecord(env.paths(), written.src).has_value());
  ASSERT_TRUE(removeMoveDirRecord(env.paths(), written.id));
  EXPECT_TRUE(readMoveDirRecords(env.paths()).empty());
}

TEST(RawNames, MoveDirPhaseTableIsPinnedAndAgreesWithTheConversions) {
  brimvale::testing::expectRawNames(kMoveDirPhaseNames, "copying copied recorded parked linked",
                                    phaseRaw, phaseFromRaw);
}

}  // namespace
}  // namespace brimvale::service
