#include "platform/posix_process_launcher.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "common/base/file_io.h"

namespace brimvale::platform {
namespace {

using namespace std::string_literals;

TEST(CommandLineNames, MatchesTheProgramOrTheScriptItsInterpreterRuns) {
  struct Case {
    const char* name;
    std::string cmdline;
    const char* program;
    bool names;
  } cases[] = {
      {"argv[0]", "/opt/bv/brim-vale\0__xfer-supervise\0"s, "/opt/bv/brim-vale", true},
      {"script under its interpreter", "/bin/sh\0/opt/bv/rsync-wrapper\0-a\0"s,
       "/opt/bv/rsync-wrapper", true},
      {"only a later argument", "/bin/sh\0-c\0/opt/bv/brim-vale\0"s, "/opt/bv/brim-vale", false},
      {"another program", "/usr/bin/python3\0"s, "/opt/bv/brim-vale", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(commandLineNames(c.cmdline, c.program), c.names);
  }
}

TEST(StartTicks, ReadsField22PastACommandNameWithSpacesAndParentheses) {
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654 19 20";
  struct Case {
    const char* name;
    std::string stat;
    std::optional<std::string> start;
  } cases[] = {
      {"plain name", "42 (sleep)" + tail, "987654"},
      {"name with ') ' inside", "42 (a) b (c) d)" + tail, "987654"},
      {"cut short", "42 (sleep) S 1 2 3", std::nullopt},
      {"no command name", "42 sleep S", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(startTicks(c.stat), c.start);
  }
}

// Given a real child, then it counts as alive and as running its program
// while it runs, with an identity that names this user and stays the same;
// it stops counting and its identity is gone once it has ended (before and
// after being reaped), and its exit code is reported once. (Two processes may
// share a start tick; with the pid the identity is still unique.)
TEST(PosixProcessLauncher, FollowsARealChildFromStartToExit) {
  auto launcher = makePosixProcessLauncher();
  auto spawned = launcher->spawn({.path = "/bin/sleep", .args = {"30"}});
  ASSERT_TRUE(spawned) << spawned.error().message();
  const int pid = spawned->pid;
  EXPECT_TRUE(launcher->isAlive(pid));
  EXPECT_TRUE(launcher->runsProgram(pid, "/bin/sleep"));
  EXPECT_EQ(launcher->exitCodeIfEnded(pid), std::nullopt);
  const auto identity = launcher->identity(pid);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->user, getuid());

  ASSERT_TRUE(launcher->signal(pid, SIGTERM));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (launcher->isAlive(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(launcher->isAlive(pid)) << "an unreaped child that ended is not alive";
  EXPECT_EQ(launcher->identity(pid), std::nullopt);
  EXPECT_FALSE(launcher->runsProgram(pid, "/bin/sleep"));
  EXPECT_EQ(launcher->exitCodeIfEnded(pid), -1) << "ended by a signal";
}

// Given detached work, then the caller gets its report back while the worker
// goes on running under another parent, and nothing is left here to reap.
TEST(PosixProcessLauncher, DetachedWorkOutlivesTheCallWithNothingToReap) {
  auto launcher = makePosixProcessLauncher();
  auto reported = launcher->startDetached([](const auto& report) {
    report(std::to_string(getpid()));
    pause();  // until the test ends it
  });
  ASSERT_TRUE(reported) << reported.error().message();
  const int worker = std::stoi(*reported);
  EXPECT_TRUE(launcher->isAlive(worker));
  auto stat = readFile("/proc/" + std::to_string(worker) + "/stat");
  ASSERT_TRUE(stat);
  const std::string afterName = stat->substr(stat->rfind(')') + 2);  // "S <ppid> ..."
  EXPECT_NE(std::stoi(afterName.substr(2)), getpid());
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  kill(worker, SIGKILL);
}

}  // namespace
}  // namespace brimvale::platform
