#include "service/core/status_snapshot.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/base/file_io.h"
#include "service/dispatch.h"
#include "testing/base/temp_home.h"
#include "testing/platform/fake_platform.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class StatusSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { platform_ = platform::testing::makeFakePlatform(state_); }

  // Loads `config` and gathers a snapshot at 2026-05-01 14:00 local time.
  StatusSnapshot gather(const std::string& config) {
    std::ofstream(paths_.config) << config;
    ctx_ = std::make_unique<ServiceContext>(
        paths_, platform_, [this] { return now_; }, out_, out_);
    ctx_->config = loadServiceConfig(paths_, ctx_->workingFolderName()).value();
    return gatherStatus(*ctx_);
  }

  brimvale::testing::TempHome home_{brimvale::testing::StateFolder::kCreated, "brimvale-status"};
  const StatePaths& paths_ = home_.paths();
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
  std::time_t now_ = 0;
};

// The log may just have been rotated: its newest line is then the older
// generation's last, and last_event must not come back empty or stale.
TEST_F(StatusSnapshotTest, LastEventIsTheNewestLogLineAcrossARotation) {
  const fs::path previous = paths_.log.string() + ".1";
  struct Case {
    const char* name;
    const char* current;  // nullptr: no file
    const char* previous;
    const char* lastEvent;
  };
  const Case cases[] = {
      {"not rotated", "2026-05-01 10:00:00  a\n2026-05-01 10:00:01  b\n", nullptr,
       "2026-05-01 10:00:01  b"},
      {"rotated, new file still empty", "", "2026-05-01 10:00:01  b\n", "2026-05-01 10:00:01  b"},
      {"rotated, then logged again", "2026-05-01 10:00:02  c\n", "2026-05-01 10:00:01  b\n",
       "2026-05-01 10:00:02  c"},
      {"no log at all", nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(paths_.log);
    fs::remove(previous);
    if (c.current) std::ofstream(paths_.log) << c.current;
    if (c.previous) std::ofstream(previous) << c.previous;
    EXPECT_EQ(gather("NVMe=/Volumes/NVMe\n").lastEvent, c.lastEvent);
  }
}

TEST_F(StatusSnapshotTest, AFailedWriteKeepsTheOldSnapshotAndJsonSaysSo) {
  gather("NVMe=/nowhere\n");
  // Something in the way of the rename stands for a full or broken state folder.
  fs::create_directories(paths_.statusJson / "in the way");
  const auto [json, saved] = writeStatusJson(*ctx_);
  EXPECT_FALSE(saved.has_value());
  EXPECT_TRUE(json.starts_with("{\n  \"timestamp\": \""));
  for (const auto& e : fs::directory_iterator(paths_.state)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
  }

  std::ostringstream err;
  ServiceContext ctx(
      paths_, platform_, [this] { return now_; }, out_, err);
  out_.str("");
  EXPECT_EQ(runService(ctx, {"json"}), 1);
  EXPECT_TRUE(out_.str().starts_with("{\n")) << "the figures are still printed";
  EXPECT_TRUE(err.str().starts_with("The status snapshot above couldn't be saved")) << err.str();
}

}  // namespace
}  // namespace brimvale::service
