#include "service/drives/remount.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

class RemountTest : public ::testing::Test {
 protected:
  RemountTest() {
    home_.writeConfig("NVMe=\"" + drive_.string() + "\"\nREMOUNT_RETRIES=3\n");
    ctx_ = &home_.load([] { return std::time_t{0}; });
  }

  void writeMarker(const std::string& uuid) {
    fs::create_directories(ctx_->cfg().base());
    std::ofstream(ctx_->cfg().base() / ".hollin-managed")
        << "marker_version=1\nvolume_uuid=" << uuid << "\n";
  }

  ContextInTempHome home_{""};
  const fs::path drive_ = home_.root() / "Volumes" / "Fast Drive";
  platform::testing::FakeState& state_ = home_.fake();
  std::ostringstream& out_ = home_.out();
  ServiceContext* ctx_ = nullptr;
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
  EXPECT_EQ(remountDrive(*ctx_, sleep_), 1) << "the command fails the same way";
  EXPECT_TRUE(out_.str().ends_with("Failed.\n"));
}

TEST_F(RemountTest, SucceedsOnceTheDriveIsUsable) {
  writeMarker("unknown");
  state_.mountMakesMounted = true;
  EXPECT_TRUE(attemptRemount(*ctx_, sleep_));
  EXPECT_EQ(sleeps_.size(), 1u);
  EXPECT_EQ(std::get<0>(state_.mountRequests[0]), "") << "an unknown UUID is not asked for";
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

}  // namespace
}  // namespace brimvale::service
