#include "service/drives/remount.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/testing/fake_platform.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class RemountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brimvale-remount-XXXXXX";
    root_ = mkdtemp(tmpl);
    paths_ = StatePaths::forHome(root_ / "home");
    fs::create_directories(paths_.state);
    platform_ = platform::testing::makeFakePlatform(state_);
    ctx_ = std::make_unique<ServiceContext>(
        paths_, platform_, [] { return std::time_t{0}; }, out_, out_);
    drive_ = root_ / "Volumes" / "Fast Drive";
    std::ofstream(paths_.config) << "NVMe=\"" << drive_.string() << "\"\nREMOUNT_RETRIES=3\n";
    ctx_->config = loadServiceConfig(paths_, ctx_->workingFolderName()).value();
  }
  void TearDown() override { fs::remove_all(root_); }

  void writeMarker(const std::string& uuid) {
    fs::create_directories(ctx_->cfg().base());
    std::ofstream(ctx_->cfg().base() / ".hollin-managed")
        << "marker_version=1\nvolume_uuid=" << uuid << "\n";
  }

  fs::path root_, drive_;
  StatePaths paths_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
  std::vector<long long> sleeps_;
  SleepSeconds sleep_ = [this](long long s) { sleeps_.push_back(s); };
};

TEST_F(RemountTest, TriesByUuidAndNameEachAttemptThenGivesUp) {
  writeMarker("UUID-7");  // readable while the folder exists, though nothing is mounted
  EXPECT_FALSE(attemptRemount(*ctx_, sleep_));
  EXPECT_EQ(sleeps_, (std::vector<long long>{5, 5, 5}));
  ASSERT_EQ(state_.mountRequests.size(), 3u);
  EXPECT_EQ(state_.mountRequests[0],
            std::make_tuple(std::string("UUID-7"), std::string("Fast Drive"), drive_.string()));
  EXPECT_NE(out_.str().find("Attempting remount (volume name: Fast Drive, uuid: UUID-7)..."),
            std::string::npos);
  EXPECT_NE(out_.str().find("Remount failed after 3 attempts."), std::string::npos);
}

TEST_F(RemountTest, SucceedsOnceTheDriveIsUsable) {
  writeMarker("unknown");
  state_.mountMakesMounted = true;
  EXPECT_TRUE(attemptRemount(*ctx_, sleep_));
  EXPECT_EQ(sleeps_.size(), 1u);
  EXPECT_EQ(std::get<0>(state_.mountRequests[0]), "") << "an unknown UUID is not asked for";
  EXPECT_NE(out_.str().find("Remount succeeded on attempt 1."), std::string::npos);
}

TEST_F(RemountTest, MountedWithoutMarkerIsNotUsable) {
  state_.mountMakesMounted = true;
  EXPECT_FALSE(attemptRemount(*ctx_, sleep_));
  EXPECT_NE(out_.str().find("uuid: unknown"), std::string::npos);
  EXPECT_EQ(sleeps_.size(), 3u);
}

TEST_F(RemountTest, CommandRecoversAMissingMarkerOnAMountedDrive) {
  state_.mountMakesMounted = true;
  EXPECT_EQ(remountDrive(*ctx_, sleep_), 0);
  EXPECT_TRUE(fs::exists(drive_ / ctx_->workingFolderName() / ".hollin-managed"));
  EXPECT_NE(out_.str().find("Remount: marker missing at " +
                            (drive_ / ctx_->workingFolderName()).string() +
                            ", attempting auto-recovery\u2026"),
            std::string::npos);
  EXPECT_TRUE(out_.str().ends_with("Mounted.\n")) << out_.str();
}

TEST_F(RemountTest, CommandFailsWhenNothingMounts) {
  EXPECT_EQ(remountDrive(*ctx_, sleep_), 1);
  EXPECT_TRUE(out_.str().ends_with("Failed.\n"));
}

}  // namespace
}  // namespace brimvale::service
