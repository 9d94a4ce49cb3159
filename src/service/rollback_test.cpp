#include "service/rollback.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/file_io.h"
#include "service/action_log.h"
#include "service/service_test_support.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;

class RollbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home() / "archive");
    std::ofstream(home() / "archive" / "a.txt") << "a";
    ASSERT_TRUE(recordAction(env_.paths(), 0, {"move", (home() / "a.txt").string(),
                                   (home() / "archive" / "a.txt").string(), 4096}));
    ASSERT_TRUE(recordAction(env_.paths(), 0, {"delete-cache", "/c/x", "-", 1}));
    ASSERT_TRUE(recordAction(env_.paths(), 0, {"relocate", "/r", "/n/r", 1}));
  }
  const fs::path& home() const { return env_.home(); }

  testsupport::ContextInTempHome env_{"NVMe=/Volumes/none\n"};
};

TEST_F(RollbackTest, AnythingButYesAtThePromptChangesNothing) {
  for (const char* answer : {"no\n", "y\n", "YES\n", ""}) {
    SCOPED_TRACE(answer);
    env_.out().str("");
    std::istringstream in(answer);
    EXPECT_EQ(rollbackBatch(env_.load(), Confirmation::kAskOnTerminal, in), 0);
    EXPECT_TRUE(env_.out().str().ends_with("Proceed? (yes/no) "));
    EXPECT_TRUE(fs::exists(home() / "archive" / "a.txt"));
    EXPECT_EQ(readLastBatch(env_.paths()).size(), 3u);
  }
}

TEST_F(RollbackTest, YesMovesBackCountsAndEmptiesTheBatch) {
  std::istringstream in("yes\n");
  EXPECT_EQ(rollbackBatch(env_.load(), Confirmation::kAskOnTerminal, in), 0);
  const std::string out = env_.out().str();
  EXPECT_TRUE(out.starts_with("Will reverse 3 action(s):\n  move  " +
                              (home() / "a.txt").string() + " <- " +
                              (home() / "archive" / "a.txt").string() + "\n"));
  EXPECT_NE(out.find("rollback: cannot undo delete of /c/x\n"), std::string::npos);
  EXPECT_TRUE(out.ends_with("Reversed: 1.  Skipped: 1.\n"));
  EXPECT_EQ(readFile(home() / "a.txt").value(), "a");
  EXPECT_TRUE(readLastBatch(env_.paths()).empty());
}

}  // namespace
}  // namespace brimvale::service
