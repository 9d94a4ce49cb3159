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

// Usage mistakes are covered with their texts below.
TEST_F(TransferStartTest, RefusesWhatCannotStartAndSaysWhy) {
  struct Case {
    const char* name;
    std::function<std::vector<std::string>(TransferStartTest&)> prepare;
    StartVerdict verdict;
    std::optional<TransferPhase> phase;
    const char* reason;  // one of the preflight's reasons, if any
  } cases[] = {
      {"not confirmed",
       [](TransferStartTest& t) {
         return std::vector<std::string>{"transfer", t.dest_.string(), "no"};
       },
       StartVerdict::kNotConfirmed, std::nullopt, nullptr},
      {"destination gone",
       [](TransferStartTest& t) {
         return std::vector<std::string>{(t.dest_ / "gone").string(), "yes"};
       },
       StartVerdict::kDestinationMissing, std::nullopt, nullptr},
      {"another job runs",
       [](TransferStartTest& t) {
         t.job(TransferPhase::kCopying);
         return std::vector<std::string>{t.dest_.string(), "1"};
       },
       StartVerdict::kAlreadyRunning, TransferPhase::kCopying, nullptr},
      {"this computer's folder already there",
       [](TransferStartTest& t) {
         t.tmp_.folder(fs::path("dst") / t.ctx_->workingFolderName());
         return std::vector<std::string>{t.dest_.string(), "1"};
       },
       StartVerdict::kBlocked, TransferPhase::kIdle,
       "This drive already has a Brimvale folder for this computer. Choose a different drive."},
      {"no room",
       [](TransferStartTest& t) {
         t.state_.driveInfo[t.dest_.string()].freeMiB = 0;
         return std::vector<std::string>{t.dest_.string(), "1"};
       },
       StartVerdict::kBlocked, TransferPhase::kIdle,
       "Not enough free space on the destination drive for everything on your current drive."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const std::vector<std::string> args = c.prepare(*this);
    const bool hadJob = fs::exists(files().lock);
    TransferStartOutcome o = start(args);
    EXPECT_EQ(o.verdict, c.verdict);
    EXPECT_EQ(o.phase, c.phase);
    if (c.reason) {
      EXPECT_EQ(o.reasons, std::vector<std::string>{c.reason});
    }
    EXPECT_FALSE(o.supervisorPid);
    EXPECT_TRUE(processes().launches.empty());
    EXPECT_EQ(fs::exists(files().lock), hadJob) << "a refusal leaves the job lock as it was";
  }
}

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
      {"after a finished job", TransferPhase::kDone, {"transfer", "1"}, "transfer"},
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
    EXPECT_EQ(o.phase, TransferPhase::kCopying);
    EXPECT_GE(o.sourceBytes, 10u);
    EXPECT_EQ(store().get("bytesTotal"), std::to_string(o.sourceBytes));
    EXPECT_EQ(o.freeBytes, 1000u * 1'048'576u);
    ASSERT_EQ(processes().launches.size(), 1u);
    EXPECT_EQ(o.supervisorPid, processes().launches[0].pid);
    EXPECT_EQ(store().get("kind"), c.kind);
    EXPECT_EQ(store().get("destWorking"), (dest_ / ctx_->workingFolderName()).string());
    EXPECT_EQ(store().get("resumeCount"), "0");
    EXPECT_TRUE(fs::exists(files().lock));
  }
}

}  // namespace
}  // namespace brimvale::service
