#include "service/drive_transfer/transfer_job.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "service/drive_transfer/transfer_job_fixture.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

// A job whose copy was verified, on a connected destination that is not the
// current drive; the copy carries the marker a transfer writes.
class TransferCancelTest : public TransferJobFixture {
 public:  // the table's tampering steps reach in
  void SetUp() override {
    TransferJobFixture::SetUp();
    copy_ = dest_ / ctx_->workingFolderName();
    fs::create_directories(copy_ / "Media");
    std::ofstream(copy_ / ".hollin-managed") << "marker_version=1\ncreated_by=transfer\n";
    std::ofstream(copy_ / "Media/clip.mov") << "bytes";
    std::ofstream(paths_.config) << "NVMe=\"" << source_.string() << "\"\n";
    job(TransferPhase::kCopied);
  }

  fs::path copy_;
};

TEST_F(TransferCancelTest, AVerifiedCopyIsDeletedOnlyWithConsent) {
  struct Case {
    const char* name;
    CancelConsent consent;
    const char* answer;
    int exitCode;
    bool deleted;
  } cases[] = {
      {"no terminal, no --yes", CancelConsent::kNone, "", 2, false},
      {"asked, answered no", CancelConsent::kAskOnTerminal, "no\n", 1, false},
      {"--yes", CancelConsent::kGiven, "", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    std::istringstream in(c.answer);
    EXPECT_EQ(cancelTransfer(*ctx_, c.consent, in), c.exitCode) << out_.str();
    EXPECT_EQ(fs::exists(copy_ / "Media/clip.mov"), !c.deleted);
    EXPECT_EQ(store().phase(), c.deleted ? "failed" : "copied");
    EXPECT_EQ(fs::exists(files().lock), !c.deleted) << "a kept job keeps its lock";
    if (c.deleted) {
      EXPECT_EQ(store().get("lastError"), "Transfer cancelled. Your current drive is unchanged.");
    } else {
      EXPECT_NE(out_.str().find("verified copy of everything at " + copy_.string()),
                std::string::npos);
    }
    out_.str("");
  }
}

// Given a job state that names a copy Brimvale must not delete, then cancel
// stops the job but leaves that folder and says why.
TEST_F(TransferCancelTest, RefusesACopyThatIsNotThisJobsOwn) {
  struct Case {
    const char* name;
    std::function<void(TransferCancelTest&)> tamper;
    const char* because;
  } cases[] = {
      {"destination not mounted",
       [](TransferCancelTest& t) { t.state_.mountPoints.erase(t.dest_.string()); },
       "is not a connected drive"},
      {"another folder on the drive",
       [](TransferCancelTest& t) {
         fs::rename(t.copy_, t.dest_ / "BRIM-Other");
         t.copy_ = t.dest_ / "BRIM-Other";
         ASSERT_TRUE(t.store().set({{"destWorking", t.copy_.string()}}));
       },
       "is not this computer's Brimvale folder directly on the destination drive"},
      {"the current drive",
       [](TransferCancelTest& t) {
         std::ofstream(t.paths_.config) << "NVMe=\"" << t.dest_.string() << "\"\n";
       },
       "it is your current drive's Brimvale folder"},
      {"no transfer marker", [](TransferCancelTest& t) { fs::remove(t.copy_ / ".hollin-managed"); },
       "it has no marker showing that a transfer created it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    ASSERT_TRUE(store().set({{"phase", "waitingForDrive"}}));
    c.tamper(*this);
    std::istringstream in;
    EXPECT_EQ(cancelTransfer(*ctx_, CancelConsent::kGiven, in), 1);
    EXPECT_TRUE(fs::exists(copy_ / "Media/clip.mov"));
    EXPECT_NE(out_.str().find("Brimvale did not delete " + copy_.string()), std::string::npos)
        << out_.str();
    EXPECT_NE(out_.str().find(c.because), std::string::npos) << out_.str();
    out_.str("");
  }
}

TEST_F(TransferCancelTest, NeverCancelsASwitchInProgress) {
  ASSERT_TRUE(store().set({{"phase", "switching"}}));
  std::istringstream in;
  EXPECT_EQ(cancelTransfer(*ctx_, CancelConsent::kGiven, in), 1);
  EXPECT_EQ(store().phase(), "switching");
  EXPECT_TRUE(fs::exists(copy_ / "Media/clip.mov"));
  EXPECT_TRUE(fs::exists(files().lock));
}

}  // namespace
}  // namespace brimvale::service
