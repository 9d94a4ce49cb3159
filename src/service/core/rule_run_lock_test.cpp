#include "service/core/rule_run_lock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "testing/base/temp_folder.h"

namespace brimvale::service {
namespace {
using std::chrono::milliseconds;

class RuleRunLockTest : public ::testing::Test {
 protected:
  brimvale::testing::TempFolder home_{"bv-rules-lock"};
  StatePaths paths_ = StatePaths::forHome(home_.path());
};

TEST_F(RuleRunLockTest, ASecondRunIsRefusedWithASentenceUntilTheFirstEnds) {
  {
    auto first = RuleRunLock::acquire(paths_, milliseconds(0));
    ASSERT_TRUE(first.has_value()) << first.error();
    auto second = RuleRunLock::acquire(paths_, milliseconds(120));
    ASSERT_FALSE(second.has_value());
    EXPECT_NE(second.error().find("is already working in this home folder (process " +
                                  std::to_string(getpid()) + "), so this one did not start."),
              std::string::npos);
  }
  EXPECT_TRUE(RuleRunLock::acquire(paths_, milliseconds(0)).has_value());
}

TEST_F(RuleRunLockTest, ChildProgramsDoNotKeepTheLock) {
  // Given a run that started a long-lived helper program, then its lock
  // still ends with the run.
  pid_t helper = -1;
  {
    auto lock = RuleRunLock::acquire(paths_, milliseconds(0));
    ASSERT_TRUE(lock.has_value());
    helper = fork();
    if (helper == 0) {
      execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(helper, 0);
    usleep(100'000);  // let it reach exec
  }
  EXPECT_TRUE(RuleRunLock::acquire(paths_, milliseconds(0)).has_value());
  kill(helper, SIGKILL);
  waitpid(helper, nullptr, 0);
}

}  // namespace
}  // namespace brimvale::service
