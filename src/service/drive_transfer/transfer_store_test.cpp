#include "service/drive_transfer/transfer_store.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

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

TEST_F(TransferStoreTest, FirstLineOfAKeyWinsOnRead) {
  ASSERT_TRUE(writeFileAtomically(dir_ / "transfer-job.kv", "phase=done\nphase=copying\n"));
  EXPECT_EQ(TransferStore(TransferFiles::in(dir_)).phase(), "done");
}

TEST_F(TransferStoreTest, JsonFollowsEveryWrite) {
  TransferStore store(TransferFiles::in(dir_));
  ASSERT_TRUE(store.reset({{"version", "1"},
                           {"kind", "backup"},
                           {"phase", "copying"},
                           {"rsyncBin", "/usr/bin/rsync"},
                           {"bytesDone", "12,3"},
                           {"percent", "42"},
                           {"currentFile", "Apps/\"odd\"\tname\\x"},
                           {"consent", "1"},
                           {"resumeCount", "2"}}));
  const std::string json = readFile(dir_ / "transfer-job.json").value();
  EXPECT_EQ(json.find("rsyncBin"), std::string::npos);
  EXPECT_NE(json.find("  \"currentFile\": \"Apps/\\\"odd\\\"name\\\\x\",\n"), std::string::npos)
      << json;
  auto doc = nlohmann::json::parse(json);
  EXPECT_EQ(doc["kind"], "backup");
  EXPECT_EQ(doc["bytesDone"], 0) << "not all digits";
  EXPECT_EQ(doc["percent"], 42);
  EXPECT_EQ(doc["consent"], true);
  EXPECT_EQ(doc["sourceRoot"], "");

  ASSERT_TRUE(store.set({{"phase", "done"}}));
  EXPECT_EQ(nlohmann::json::parse(readFile(dir_ / "transfer-job.json").value())["phase"], "done");
}

}  // namespace
}  // namespace brimvale::service
