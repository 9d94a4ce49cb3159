#include "mover/in_use_quit.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "platform/testing/fake_launcher.h"

namespace brimvale::mover {
namespace {

using platform::testing::FakeLauncher;
using platform::testing::FakeProcesses;
using platform::testing::kFakeUser;
using namespace std::chrono_literals;

constexpr int kSelf = 500;
constexpr int kParent = 499;

// Given one program holding the folder, then it is asked to quit only when
// it is an ordinary program of this user, and counts as quit only when the
// second look no longer finds it.
TEST(QuitFolderUsers, AsksOnlyThisUsersOrdinaryProgramsAndRechecks) {
  enum class Kind { kOrdinary, kIgnoresQuit, kPid1, kSelf, kParent, kOtherUser, kGone };
  struct Case {
    const char* name;
    Kind kind;
    bool signalled;
    bool quit;
    bool stillUsing;
    std::optional<QuitRefusal> notAsked;
  } cases[] = {
      {"ordinary program", Kind::kOrdinary, true, true, false, {}},
      {"ignores the quit", Kind::kIgnoresQuit, true, false, true, {}},
      {"pid 1", Kind::kPid1, false, false, true, QuitRefusal::kSystemProcess},
      {"this process", Kind::kSelf, false, false, true, QuitRefusal::kThisProgram},
      {"the shell that started it", Kind::kParent, false, false, true, QuitRefusal::kThisProgram},
      {"another user's", Kind::kOtherUser, false, false, true, QuitRefusal::kOtherUser},
      {"ended already", Kind::kGone, false, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProcesses procs;
    FakeLauncher launcher(procs);
    int pid = procs.start("/usr/bin/vim");
    switch (c.kind) {
      case Kind::kIgnoresQuit: procs.ignoresTerm.insert(pid); break;
      case Kind::kPid1: procs.running[pid = 1] = "/sbin/init"; break;
      case Kind::kSelf: procs.running[pid = kSelf] = "/usr/bin/brimvale"; break;
      case Kind::kParent: procs.running[pid = kParent] = "/bin/bash"; break;
      case Kind::kOtherUser: procs.identities[pid] = {"t", kFakeUser + 1}; break;
      case Kind::kGone: procs.end(pid); break;
      default: break;
    }
    const std::vector<FolderInUseEntry> users{{"/usr/bin/vim", "vim", {}, {pid}}};
    std::vector<std::chrono::milliseconds> slept;
    int probes = 0;
    QuitSteps steps{[&] {
                      ++probes;
                      std::vector<FolderInUseEntry> left;
                      for (const auto& u : users)
                        if (procs.running.contains(u.pids[0])) left.push_back(u);
                      return left;
                    },
                    [&](std::chrono::milliseconds d) { slept.push_back(d); }};
    const auto report = quitFolderUsers(users, launcher, {kSelf, kParent, kFakeUser}, steps);
    EXPECT_EQ(procs.signalsTo(pid), c.signalled ? std::vector<int>{SIGTERM} : std::vector<int>{});
    EXPECT_EQ(slept, c.signalled ? std::vector<std::chrono::milliseconds>{1500ms}
                                 : std::vector<std::chrono::milliseconds>{});
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(report.quit.size(), c.quit ? 1u : 0u);
    EXPECT_EQ(report.stillUsing.size(), c.stillUsing ? 1u : 0u);
    ASSERT_EQ(report.notAsked.size(), c.notAsked ? 1u : 0u);
    if (c.notAsked) {
      EXPECT_EQ(report.notAsked[0].why, *c.notAsked);
      EXPECT_EQ(report.notAsked[0].pid, pid);
    }
  }
}

// Given a program with two processes of which one will not quit, then the
// program still holds the folder and is not reported as quit.
TEST(QuitFolderUsers, AProgramCountsAsQuitOnlyWhenAllItsProcessesLetGo) {
  FakeProcesses procs;
  FakeLauncher launcher(procs);
  const int first = procs.start("/usr/bin/editor");
  const int second = procs.start("/usr/bin/editor");
  procs.ignoresTerm.insert(second);
  const FolderInUseEntry editor{"/usr/bin/editor", "editor", {}, {first, second}};
  QuitSteps steps{
      [&] {
        return std::vector<FolderInUseEntry>{{"/usr/bin/editor", "editor", {}, {second}}};
      },
      [](std::chrono::milliseconds) {}};
  const auto report = quitFolderUsers({editor}, launcher, {kSelf, kParent, kFakeUser}, steps);
  EXPECT_EQ(procs.signalsTo(first), std::vector<int>{SIGTERM});
  EXPECT_EQ(procs.signalsTo(second), std::vector<int>{SIGTERM});
  EXPECT_TRUE(report.quit.empty());
  ASSERT_EQ(report.stillUsing.size(), 1u);
  EXPECT_EQ(report.stillUsing[0].pids, std::vector<int>{second});
}

}  // namespace
}  // namespace brimvale::mover
