#include "service/core/action_log.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "testing/base/temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

TEST(ActionLog, RecordsEachRowInBothFilesAndBatchesStartEmpty) {
  const brimvale::testing::TempHome home(brimvale::testing::StateFolder::kCreated,
                                         "brimvale-actions");
  const StatePaths& paths = home.paths();
  const std::time_t t = 1'777'600'000;

  ASSERT_TRUE(recordAction(paths, t, {"move", "/old", "/nvme/old", 4096}));
  ASSERT_TRUE(newBatch(paths));
  ASSERT_TRUE(recordAction(paths, t, {"relocate", "/Users/ada/My Files", "/Volumes/NVMe/x", 8192}));
  ASSERT_TRUE(recordAction(paths, t, {"delete", "/Users/ada/tab\there", "-", std::nullopt}));
  ASSERT_TRUE(recordAction(paths, t, {"move", "/a/line\nbreak\\x", "/n/line\nbreak\\x", 1}));

  EXPECT_EQ(readFile(paths.lastBatch).value(),
            "relocate\t/Users/ada/My Files\t/Volumes/NVMe/x\t8192\n"
            "delete\t/Users/ada/tab\\there\t-\t\n"
            "move\t/a/line\\nbreak\\\\x\t/n/line\\nbreak\\\\x\t1\n");
  EXPECT_EQ(readLastLines(paths.actions, 2)[0], ts(t) + "\tdelete\t/Users/ada/tab\\there\t-\t");

  // Tabs, newlines and backslashes in paths come back exactly.
  auto batch = readLastBatch(paths);
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0].bytes, 8192u);
  EXPECT_EQ(batch[1].src, "/Users/ada/tab\there");
  EXPECT_EQ(batch[2].src, "/a/line\nbreak\\x");
  EXPECT_EQ(batch[2].dest, "/n/line\nbreak\\x");
}

TEST(ActionLog, AnUndoRowComesFirstAndIsWithdrawnWhenTheMoveFails) {
  const brimvale::testing::TempHome home(brimvale::testing::StateFolder::kCreated,
                                         "brimvale-actions");
  const StatePaths& paths = home.paths();
  const std::time_t t = 1'777'600'000;
  // Paths under the temporary home: the rows are only written and read back.
  const std::string h = paths.home.string(), d = (paths.home / "drive").string();
  const ActionRow moved{"move", h + "/x", d + "/x", 1};
  const ActionRow failed{"move", h + "/line\nbreak", d + "/line\nbreak", 2};
  const ActionRow lookalike{"move", h + "/line\nbreak", d + "/line\nbreak.2", 2};

  ASSERT_TRUE(recordUndo(paths, moved));
  recordDone(paths, t, moved);
  ASSERT_TRUE(recordUndo(paths, lookalike));
  ASSERT_TRUE(recordUndo(paths, failed));
  EXPECT_EQ(readLastLines(paths.actions, 10).size(), 1u) << "the action log has only what was done";
  ASSERT_TRUE(withdrawUndo(paths, failed));
  const auto batch = readLastBatch(paths);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0].src, h + "/x");
  EXPECT_EQ(batch[1].dest, d + "/line\nbreak.2");
}

// Given a rewrite of the batch under way in one process, then an undo row
// another process appends meanwhile waits for it and is not lost to it.
TEST(ActionLog, AnAppendDuringARewriteIsKept) {
  const brimvale::testing::TempHome home(brimvale::testing::StateFolder::kCreated,
                                         "brimvale-actions");
  const StatePaths& paths = home.paths();
  const ActionRow first{"move", "/a", "/n/a", 1};
  const ActionRow appended{"move", "/b", "/n/b", 2};
  ASSERT_TRUE(recordUndo(paths, first));
  std::promise<void> editing;
  std::thread rewrite([&] {
    EXPECT_TRUE(editLastBatch(paths, [&](std::vector<ActionRow>& rows) {
      editing.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      rows.clear();  // the row it had read is done
    }));
  });
  editing.get_future().wait();
  ASSERT_TRUE(recordUndo(paths, appended));
  rewrite.join();
  EXPECT_EQ(readLastBatch(paths), std::vector<ActionRow>{appended});
}

// Given an undo record that can't be written, then the action is refused
// and the action log does not claim it happened.
TEST(ActionLog, NoUndoRecordNoActionLogRow) {
  const brimvale::testing::TempHome home(brimvale::testing::StateFolder::kAbsent,
                                         "brimvale-actions");
  const StatePaths& paths = home.paths();
  fs::create_directories(paths.lastBatch);  // a folder where the file should be
  EXPECT_FALSE(recordAction(paths, 0, {"move", "/a", "/b", 1}));
  EXPECT_TRUE(readLastLines(paths.actions, 5).empty());
}

}  // namespace
}  // namespace brimvale::service
