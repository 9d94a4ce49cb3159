#include "common/state/only_copy_notice.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/base/temp_home.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::StateFolder;
using brimvale::testing::TempHome;

TEST(OnlyCopyNotice, IsClaimedOnceEvenByMovesFinishingTogether) {
  TempHome home(StateFolder::kCreated, "only-copy");
  constexpr int kMoves = 8;
  std::vector<pid_t> moves;
  for (int i = 0; i < kMoves; ++i) {
    pid_t pid = fork();
    if (pid == 0) _exit(claimOnlyCopyNotice(home.paths()) ? 1 : 0);
    moves.push_back(pid);
  }
  int claimed = 0;
  for (pid_t pid : moves) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    claimed += WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  }
  EXPECT_EQ(claimed, 1);
  // A later move, in this process or another, is never told again.
  EXPECT_FALSE(claimOnlyCopyNotice(home.paths()));
}

}  // namespace
}  // namespace brimvale
