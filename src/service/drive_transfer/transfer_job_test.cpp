#include "service/drive_transfer/transfer_job.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "common/base/file_io.h"
#include "platform/testing/fake_platform.h"
#include "service/drive_transfer/transfer_store.h"
#include "testing/temp_folder.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

// A service context over a throw-away home with a fake platform; its clock
// stands at 0 and no configuration is loaded, as the watch loop's first tick.
struct TickScene {
  TickScene() { fs::create_directories(paths.state); }

  brimvale::testing::TempFolder root{"brimvale-tick"};
  StatePaths paths = StatePaths::forHome(root.path() / "home");
  platform::testing::FakeState state;
  platform::Platform plat = platform::testing::makeFakePlatform(state);
  std::ostringstream out;
  ServiceContext ctx{paths, plat, [] { return std::time_t{0}; }, out, out};
};

// Given a job in some phase with the drives present or not, then one tick
// leaves it in the expected phase with the expected resume count and lock.
TEST(TransferTick, ResumesWaitingJobsUpToTwentyTimesAndNeverPausedOnes) {
  struct Case {
    const char* name;
    const char* phase;
    int resumes;
    bool drivesPresent;
    const char* expectedPhase;
    int expectedResumes;
    const char* expectedError;
    bool lockKept;
  } cases[] = {
      {"waiting, drives back", "waitingForDrive", 3, true, "copying", 4, "", true},
      {"stale copying, drives back", "copying", 0, true, "copying", 1, "", true},
      {"twentieth resume used up", "waitingForDrive", 20, true, "failed", 20,
       "The transfer kept failing and was stopped. Your current drive is unchanged.", false},
      {"drive still away", "copying", 2, false, "waitingForDrive", 2,
       "Waiting for the drive to reconnect.", true},
      {"dead check is run again", "verifying", 1, true, "verifying", 2, "", true},
      {"dead check, drive away", "verifying", 1, false, "waitingForDrive", 1,
       "Waiting for the drive to reconnect.", true},
      {"paused stays paused", "paused", 0, true, "paused", 0, "Paused.", true},
      {"verified copy waits for its commit", "copied", 0, true, "copied", 0, "Paused.", true},
      {"done is left alone", "done", 0, true, "done", 0, "Paused.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TickScene scene;
    const fs::path& root = scene.root.path();
    const StatePaths& paths = scene.paths;
    platform::testing::FakeState& state = scene.state;
    std::ostringstream& out = scene.out;
    ServiceContext& ctx = scene.ctx;

    const fs::path src = root / "src", dst = root / "dst";
    fs::create_directories(src / "BRIM-Mac");
    fs::create_directories(dst / "BRIM-Mac");
    if (c.drivesPresent) state.mountPoints = {src.string(), dst.string()};
    TransferFiles files = TransferFiles::in(paths.state);
    fs::create_directories(files.lock);
    TransferStore store(files);
    ASSERT_TRUE(store.reset({{"phase", c.phase},
                             {"sourceRoot", src.string()},
                             {"destRoot", dst.string()},
                             {"sourceWorking", (src / "BRIM-Mac").string()},
                             {"destWorking", (dst / "BRIM-Mac").string()},
                             {"lastError", "Paused."},
                             {"resumeCount", std::to_string(c.resumes)}}));

    transferTick(ctx, "/bin/true");  // a supervisor that ends at once
    EXPECT_EQ(store.phase(), c.expectedPhase);
    EXPECT_EQ(store.get("resumeCount"), std::to_string(c.expectedResumes));
    EXPECT_EQ(store.get("lastError"), c.expectedError);
    EXPECT_EQ(fs::exists(files.lock), c.lockKept);
    if (c.expectedResumes > c.resumes) {
      EXPECT_NE(
          out.str().find("Resuming transfer (attempt " + std::to_string(c.resumes + 1) + ")."),
          std::string::npos);
      EXPECT_TRUE(fs::exists(files.supervisorPid));
    }
  }
}

// Given both drives connected but the destination's working folder gone, then
// the job waits and says which folder is missing rather than blaming the drive.
TEST(TransferTick, NamesAMissingFolderOnAConnectedDrive) {
  TickScene scene;
  const fs::path& root = scene.root.path();
  const StatePaths& paths = scene.paths;
  platform::testing::FakeState& state = scene.state;
  ServiceContext& ctx = scene.ctx;
  fs::create_directories(root / "src/BRIM-Mac");
  fs::create_directories(root / "dst");
  state.mountPoints = {(root / "src").string(), (root / "dst").string()};
  TransferStore store(TransferFiles::in(paths.state));
  ASSERT_TRUE(store.reset({{"phase", "copying"},
                           {"sourceRoot", (root / "src").string()},
                           {"destRoot", (root / "dst").string()},
                           {"sourceWorking", (root / "src/BRIM-Mac").string()},
                           {"destWorking", (root / "dst/BRIM-Mac").string()}}));
  transferTick(ctx, "/bin/true");
  EXPECT_EQ(store.phase(), "waitingForDrive");
  EXPECT_EQ(store.get("lastError"), "Waiting for the drive to reconnect. The folder " +
                                        (root / "dst/BRIM-Mac").string() +
                                        " is missing, although its drive is connected.");
}

// A job whose copy was verified, on a connected destination that is not the
// current drive; the copy carries the marker a transfer writes.
class TransferCancelTest : public ::testing::Test {
 public:  // the table's tampering steps reach in
  void SetUp() override {
    char tmpl[] = "/tmp/brimvale-cancel-XXXXXX";
    root_ = mkdtemp(tmpl);
    paths_ = StatePaths::forHome(root_ / "home");
    fs::create_directories(paths_.state);
    platform_ = platform::testing::makeFakePlatform(state_);
    ctx_ = std::make_unique<ServiceContext>(
        paths_, platform_, [] { return std::time_t{0}; }, out_, out_);
    const fs::path src = root_ / "src", dst = root_ / "dst";
    copy_ = dst / ctx_->workingFolderName();
    fs::create_directories(src / ctx_->workingFolderName());
    fs::create_directories(copy_ / "Media");
    std::ofstream(copy_ / ".hollin-managed") << "marker_version=1\ncreated_by=transfer\n";
    std::ofstream(copy_ / "Media/clip.mov") << "bytes";
    std::ofstream(paths_.config) << "NVMe=\"" << src.string() << "\"\n";
    state_.mountPoints = {src.string(), dst.string()};
    fs::create_directories(files().lock);
    ASSERT_TRUE(store().reset({{"kind", "transfer"},
                               {"phase", "copied"},
                               {"sourceRoot", src.string()},
                               {"destRoot", dst.string()},
                               {"sourceWorking", (src / ctx_->workingFolderName()).string()},
                               {"destWorking", copy_.string()}}));
  }
  void TearDown() override { fs::remove_all(root_); }
  TransferFiles files() const { return TransferFiles::in(paths_.state); }
  TransferStore store() const { return TransferStore(files()); }

  fs::path root_, copy_;
  StatePaths paths_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
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
      {"asked, answered yes", CancelConsent::kAskOnTerminal, "yes\n", 0, true},
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
       [](TransferCancelTest& t) { t.state_.mountPoints.erase((t.root_ / "dst").string()); },
       "is not a connected drive"},
      {"another folder on the drive",
       [](TransferCancelTest& t) {
         fs::rename(t.copy_, t.root_ / "dst/BRIM-Other");
         t.copy_ = t.root_ / "dst/BRIM-Other";
         ASSERT_TRUE(t.store().set({{"destWorking", t.copy_.string()}}));
       },
       "is not this computer's Brimvale folder directly on the destination drive"},
      {"the current drive",
       [](TransferCancelTest& t) {
         std::ofstream(t.paths_.config) << "NVMe=\"" << (t.root_ / "dst").string() << "\"\n";
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
    EXPECT_EQ(store().phase(), "failed");
    EXPECT_NE(readFile(paths_.log).value_or("").find("transfer-cancel: Brimvale did not delete"),
              std::string::npos);
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
