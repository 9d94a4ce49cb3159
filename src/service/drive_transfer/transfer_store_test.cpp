#include "service/drive_transfer/transfer_store.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class TransferStoreTest : public ::testing::Test {
 protected:
  brimvale::testing::TempFolder tmp_{"brimvale-xfer"};
  const fs::path dir_ = tmp_.path();
};

TEST_F(TransferStoreTest, WritesReplaceKeysAndKeepTheRest) {
  TransferStore store(TransferFiles::in(dir_));
  EXPECT_FALSE(store.exists());
  EXPECT_EQ(store.phase(), "");
  ASSERT_TRUE(store.reset({{"version", "1"}, {"phase", "copying"}, {"lastError", ""}}));
  ASSERT_TRUE(store.set({{"lastError", "Paused."}, {"phase", "paused"}}));
  EXPECT_EQ(readFile(dir_ / "transfer-job.kv").value(),
            "version=1\nlastError=Paused.\nphase=paused\n");
  EXPECT_EQ(store.get("lastError"), "Paused.");
  EXPECT_EQ(store.get("missing"), std::nullopt);

  auto moved = store.setIfPhase({TransferPhase::kCopying, TransferPhase::kWaitingForDrive},
                                {{"phase", "verifying"}});
  ASSERT_TRUE(moved);
  EXPECT_FALSE(*moved) << "a paused job is not moved on by the supervisor";
  EXPECT_EQ(store.phase(), "paused");
  moved = store.setIfPhase({TransferPhase::kPaused}, {{"phase", "copying"}});
  EXPECT_TRUE(moved && *moved);
  EXPECT_EQ(store.phase(), "copying");
}

// Given a write that changes no value (the supervisor confirms its phase that
// way just before each copy), then neither file is replaced; with the JSON
// gone, the same write renders it again.
TEST_F(TransferStoreTest, AWriteThatChangesNothingReplacesNothing) {
  TransferStore store(TransferFiles::in(dir_));
  ASSERT_TRUE(store.reset({{"phase", "copying"}, {"lastError", ""}}));
  auto inode = [this](const char* name) {
    struct stat st {};
    return stat((dir_ / name).c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const auto kv = inode("transfer-job.kv"), json = inode("transfer-job.json");
  auto confirmed =
      store.setIfPhase({TransferPhase::kCopying}, TransferPhase::kCopying, {{"lastError", ""}});
  ASSERT_TRUE(confirmed && *confirmed);
  EXPECT_EQ(inode("transfer-job.kv"), kv);
  EXPECT_EQ(inode("transfer-job.json"), json);
  fs::remove(dir_ / "transfer-job.json");
  ASSERT_TRUE(store.set({{"lastError", ""}}));
  EXPECT_NE(inode("transfer-job.json"), 0u);
}

}  // namespace
}  // namespace brimvale::service
