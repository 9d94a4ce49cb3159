#include "common/state/only_copy_notice.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/temp_home.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;
using testing::StateFolder;
using testing::TempHome;

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

TEST(OnlyCopyNotice, IsNotClaimedWhereItCannotBeRecorded) {
  TempHome home(StateFolder::kCreated, "only-copy");
  struct Case {
    const char* name;
    void (*prepare)(const StatePaths&);
  };
  const Case cases[] = {
      {"no state folder", [](const StatePaths& p) { fs::remove_all(p.state); }},
      {"the record is a folder",
       [](const StatePaths& p) { fs::create_directories(p.state / "only-copy-told"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home.paths().state);
    fs::create_directories(home.paths().state);
    c.prepare(home.paths());
    EXPECT_FALSE(claimOnlyCopyNotice(home.paths()));
  }
}

TEST(OnlyCopyNotice, QueuesOneNotificationTheApplicationCanDeliver) {
  TempHome home(StateFolder::kCreated, "only-copy");
  queueOnlyCopyNotice(home.paths());
  const auto lines = readLastLines(home.paths().notificationsQueue, 5);
  ASSERT_EQ(lines.size(), 1u);
  const auto note = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(note["body"], kOnlyCopyNotice);
  EXPECT_NE(kOnlyCopyNotice.find("`brimvale drive-transfer start backup`"), std::string::npos);
}

}  // namespace
}  // namespace brimvale
