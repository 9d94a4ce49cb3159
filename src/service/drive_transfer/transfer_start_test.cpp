#include "service/drive_transfer/transfer_start.h"

#include <gtest/gtest.h>

#include <fstream>

#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_job_fixture.h"

namespace brimvale::service {
namespace {

namespace fs = std::filesystem;

// A configured current drive (source_) with one file, and an empty external
// destination drive with room to spare.
class TransferStartTest : public TransferJobFixture {
 public:
  void SetUp() override {
    TransferJobFixture::SetUp();
    fs::remove_all(dest_ / ctx_->workingFolderName());
    tmp_.file(fs::path("src") / ctx_->workingFolderName() / "Media/clip.mov", "0123456789");
    std::ofstream(paths_.config) << "NVMe=\"" << source_.string() << "\"\n";
    ASSERT_TRUE(loadConfig(*ctx_));
    state_.driveInfo[dest_.string()] = {.filesystem = "APFS",
                                        .protocol = "USB",
                                        .removable = "Removable",
                                        .location = "External",
                                        .uuid = "DEST-UUID",
                                        .freeMiB = 1000};
  }
  TransferStartOutcome start(std::vector<std::string> args) {
    return startTransfer(*ctx_, args, kServiceProgram);
  }
};

TEST_F(TransferStartTest, StartsAJobAndLaunchesItsSupervisor) {
  struct Case {
    const char* name;
    std::optional<TransferPhase> earlierJob;
    std::vector<std::string> kindAndConsent;
    const char* kind;
  } cases[] = {
      {"first transfer", std::nullopt, {"transfer", "1"}, "transfer"},
      {"backup, consent spelt out", std::nullopt, {"backup", "yes"}, "backup"},
      {"kind left out", std::nullopt, {"", "true"}, "transfer"},
      {"after a failed job", TransferPhase::kFailed, {"transfer", "1"}, "transfer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.earlierJob) job(*c.earlierJob);
    std::vector<std::string> args{dest_.string() + "/", c.kindAndConsent[1]};
    if (!c.kindAndConsent[0].empty()) args.insert(args.begin(), c.kindAndConsent[0]);
    TransferStartOutcome o = start(args);
    ASSERT_EQ(o.verdict, StartVerdict::kStarted);
    EXPECT_EQ(o.kind, c.kind);
    EXPECT_EQ(o.destination, dest_) << "the trailing slash is dropped";
    EXPECT_GE(o.sourceBytes, 10u);
    ASSERT_EQ(processes().launches.size(), 1u);
    EXPECT_EQ(o.supervisorPid, processes().launches[0].pid);
    EXPECT_EQ(store().get("kind"), c.kind);
    EXPECT_EQ(store().get("destWorking"), (dest_ / ctx_->workingFolderName()).string());
    EXPECT_TRUE(fs::exists(files().lock));
  }
}

}  // namespace
}  // namespace brimvale::service
