#include "service/rollback.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/file_io.h"
#include "platform/testing/fake_platform.h"
#include "service/action_log.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class RollbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/brimvale-rollback-XXXXXX";
    paths_ = StatePaths::forHome(mkdtemp(tmpl));
    fs::create_directories(paths_.state);
    std::ofstream(paths_.config) << "NVMe=/Volumes/none\n";
    platform_ = platform::testing::makeFakePlatform(state_);
    ctx_ = std::make_unique<ServiceContext>(paths_, platform_, [] { return std::time_t(1'777'600'000); },
                                            out_, out_);
    ctx_->config = loadServiceConfig(paths_, "BRIM-Test").value();
    fs::create_directories(paths_.home / "archive");
    std::ofstream(paths_.home / "archive" / "a.txt") << "a";
    recordAction(paths_, 0, {"move", (paths_.home / "a.txt").string(),
                             (paths_.home / "archive" / "a.txt").string(), 4096});
    recordAction(paths_, 0, {"delete-cache", "/c/x", "-", 1});
    recordAction(paths_, 0, {"relocate", "/r", "/n/r", 1});
  }
  void TearDown() override { fs::remove_all(paths_.home); }

  StatePaths paths_;
  platform::testing::FakeState state_;
  platform::Platform platform_;
  std::ostringstream out_;
  std::unique_ptr<ServiceContext> ctx_;
};

TEST_F(RollbackTest, AnythingButYesAtThePromptChangesNothing) {
  for (const char* answer : {"no\n", "y\n", "YES\n", ""}) {
    SCOPED_TRACE(answer);
    out_.str("");
    std::istringstream in(answer);
    EXPECT_EQ(rollbackBatch(*ctx_, Confirmation::kAskOnTerminal, in), 0);
    EXPECT_TRUE(out_.str().ends_with("Proceed? (yes/no) "));
    EXPECT_TRUE(fs::exists(paths_.home / "archive" / "a.txt"));
    EXPECT_EQ(readLastBatch(paths_).size(), 3u);
  }
}

TEST_F(RollbackTest, YesMovesBackCountsAndEmptiesTheBatch) {
  std::istringstream in("yes\n");
  EXPECT_EQ(rollbackBatch(*ctx_, Confirmation::kAskOnTerminal, in), 0);
  const std::string out = out_.str();
  EXPECT_TRUE(out.starts_with("Will reverse 3 action(s):\n  move  " +
                              (paths_.home / "a.txt").string() + " <- " +
                              (paths_.home / "archive" / "a.txt").string() + "\n"));
  EXPECT_NE(out.find("rollback: cannot undo delete of /c/x\n"), std::string::npos);
  EXPECT_TRUE(out.ends_with("Reversed: 1.  Skipped: 1.\n"));
  EXPECT_EQ(readFile(paths_.home / "a.txt").value(), "a");
  EXPECT_TRUE(readLastBatch(paths_).empty());
}

}  // namespace
}  // namespace brimvale::service
