#include "service/transfer_job.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/file_io.h"
#include "platform/testing/fake_platform.h"
#include "service/transfer_store.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

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
      {"paused stays paused", "paused", 0, true, "paused", 0, "Paused.", true},
      {"done is left alone", "done", 0, true, "done", 0, "Paused.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char tmpl[] = "/tmp/brimvale-tick-XXXXXX";
    const fs::path root = mkdtemp(tmpl);
    StatePaths paths = StatePaths::forHome(root / "home");
    fs::create_directories(paths.state);
    platform::testing::FakeState state;
    platform::Platform plat = platform::testing::makeFakePlatform(state);
    std::ostringstream out;
    ServiceContext ctx(paths, plat, [] { return std::time_t{0}; }, out, out);

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
      EXPECT_NE(out.str().find("Resuming transfer (attempt " + std::to_string(c.resumes + 1) + ")."),
                std::string::npos);
      EXPECT_TRUE(fs::exists(files.supervisorPid));
    }
    fs::remove_all(root);
  }
}

}  // namespace
}  // namespace brimvale::service
