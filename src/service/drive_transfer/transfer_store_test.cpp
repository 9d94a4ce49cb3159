#include "service/drive_transfer/transfer_store.h"

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

}  // namespace
}  // namespace brimvale::service
