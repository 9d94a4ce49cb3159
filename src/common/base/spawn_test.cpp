#include "common/base/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale {
namespace {

using testing::TempFolder;

// Waits for an attached child and returns its raw wait status.
int waitFor(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string drain(int fd) {
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
  close(fd);
  return all;
}

// Given a file that already holds "old\n", then each output target leaves the
// program's stream where it was asked to go, and only pipes reach the caller.
TEST(Spawn, SendsEachOutputStreamWhereItWasAsked) {
  struct Case {
    const char* name;
    OutputTarget::Kind kind;
    const char* expectedFile;
    const char* expectedPipe;
  } cases[] = {
      {"appended", OutputTarget::Kind::kAppendFile, "old\nsaid\n", ""},
      {"truncated", OutputTarget::Kind::kTruncateFile, "said\n", ""},
      {"piped", OutputTarget::Kind::kPipe, "old\n", "said\n"},
      {"discarded", OutputTarget::Kind::kDevNull, "old\n", ""},
  };
  for (const auto& c : cases) {
    for (const bool errStream : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (errStream ? " (stderr)" : " (stdout)"));
      TempFolder tmp("bv-spawn");
      const auto file = tmp.file("stream.log", "old\n");
      OutputTarget target{
          c.kind, c.kind == OutputTarget::Kind::kPipe || c.kind == OutputTarget::Kind::kDevNull
                      ? ""
                      : file.string()};
      SpawnRequest request{.path = "/bin/sh",
                           .args = {"-c", errStream ? "echo said >&2" : "echo said"}};
      (errStream ? request.stderrTo : request.stdoutTo) = target;
      auto spawned = spawn(request);
      ASSERT_TRUE(spawned) << spawned.error().message();
      const int pipeFd = errStream ? spawned->stderrFd : spawned->stdoutFd;
      EXPECT_EQ(pipeFd >= 0, c.kind == OutputTarget::Kind::kPipe);
      const std::string piped = pipeFd >= 0 ? drain(pipeFd) : "";
      EXPECT_EQ(WEXITSTATUS(waitFor(spawned->pid)), 0);
      EXPECT_EQ(piped, c.expectedPipe);
      EXPECT_EQ(readFile(file).value_or("?"), c.expectedFile);
    }
  }
}

TEST(Spawn, ReportsEveryWayAStartCanFail) {
  TempFolder tmp("bv-spawn");
  struct Case {
    const char* name;
    SpawnRequest request;
    Errc code;
    std::string detailStart;
  } cases[] = {
      {"relative path", {.path = "sh"}, Errc::kLaunchFailed, "not an absolute path: sh"},
      {"missing program",
       {.path = "/nonexistent/tool"},
       Errc::kLaunchFailed,
       "/nonexistent/tool: "},
      {"output file in a missing folder",
       {.path = "/bin/true", .stdoutTo = OutputTarget::append((tmp / "gone/x.log").string())},
       Errc::kNotFound,
       "open "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto spawned = spawn(c.request);
    ASSERT_FALSE(spawned);
    EXPECT_EQ(spawned.error().code, c.code);
    EXPECT_TRUE(spawned.error().detail.starts_with(c.detailStart)) << spawned.error().detail;
  }
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a failed start leaves no child behind";
}

TEST(Spawn, FeedsStdinAddsEnvironmentAndChangesFolder) {
  TempFolder tmp("bv-spawn");
  auto spawned = spawn({.path = "/bin/sh",
                        .args = {"-c", "read line; echo \"$line $BV_EXTRA $(pwd)\""},
                        .envAdditions = {{"BV_EXTRA", "added"}},
                        .stdinFrom = InputSource::kPipe,
                        .stdoutTo = OutputTarget::pipe(),
                        .workingDir = tmp.path().string()});
  ASSERT_TRUE(spawned) << spawned.error().message();
  ASSERT_EQ(write(spawned->stdinFd, "fed\n", 4), 4);
  close(spawned->stdinFd);
  EXPECT_EQ(drain(spawned->stdoutFd), "fed added " + tmp.path().string() + "\n");
  waitFor(spawned->pid);
}

// Given a descriptor handed over as 3 (even one the caller holds at 3), then
// the program writes through it.
TEST(Spawn, HandsADescriptorOverAtItsFixedNumber) {
  TempFolder tmp("bv-spawn");
  const auto file = tmp.file("handed.txt", "");
  int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto spawned = spawn({.path = "/bin/sh",
                        .args = {"-c", "echo through-3 >&3"},
                        .handOver = HandedDescriptor{fd, 3}});
  close(fd);
  ASSERT_TRUE(spawned) << spawned.error().message();
  EXPECT_EQ(WEXITSTATUS(waitFor(spawned->pid)), 0);
  EXPECT_EQ(readFile(file).value_or(""), "through-3\n");
}

// Given a detached start, then the reported pid is the program itself, which
// is not this process's child and runs in a session of its own.
TEST(Spawn, DetachedProgramLeavesNoChildToReap) {
  TempFolder tmp("bv-spawn");
  const auto seen = tmp / "seen";
  auto spawned = spawn({.path = "/bin/sh",
                        .args = {"-c", "echo \"$$ $(ps -o sid= -p $$)\" > " + seen.string()},
                        .grouping = Grouping::kNewSession,
                        .detachment = Detachment::kDoubleFork,
                        .hangUp = HangUp::kIgnore});
  ASSERT_TRUE(spawned) << spawned.error().message();
  int status;
  EXPECT_EQ(waitpid(spawned->pid, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  std::string text;
  for (int i = 0; i < 200 && (text = readFile(seen).value_or("")).find('\n') == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::istringstream words(text);
  long pid = 0, session = 0;
  words >> pid >> session;
  EXPECT_EQ(pid, spawned->pid);
  EXPECT_NE(session, getsid(0)) << "the program left the caller's session";
}

// Given a detached program whose ending is to be recorded, then its pid and
// exit status (128 + signal when killed) land in the file, and the caller's
// pipe still reaches end of file while it runs: the supervisor keeps nothing.
TEST(Spawn, SupervisedDetachedProgramRecordsHowItEnded) {
  struct Case {
    const char* name;
    const char* script;
    const char* status;
  } cases[] = {
      {"exits", "exec 1>&-; sleep 0.2; exit 7", "7"},
      {"killed", "exec 1>&-; sleep 0.2; kill -9 $$", "137"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder tmp("bv-spawn");
    const auto record = tmp / "exit";
    auto spawned = spawn({.path = "/bin/sh",
                          .args = {"-c", c.script},
                          .stdoutTo = OutputTarget::pipe(),
                          .grouping = Grouping::kNewSession,
                          .detachment = Detachment::kDoubleFork,
                          .exitStatusFile = record.string()});
    ASSERT_TRUE(spawned) << spawned.error().message();
    EXPECT_EQ(drain(spawned->stdoutFd), "");  // returns only at end of file
    EXPECT_EQ(getpgid(spawned->pid), spawned->pid) << "the program leads its own group";
    std::string text;
    for (int i = 0;
         i < 300 && (text = readFile(record).value_or("")).find('\n') == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(text, std::to_string(spawned->pid) + " " + c.status + "\n");
  }
}

#if defined(__linux__)
// Given a program bound to the thread that started it, then it ends with the
// chosen signal when that thread ends.
TEST(Spawn, ParentDeathSignalEndsTheProgramWithItsStarter) {
  Result<SpawnedProcess> spawned;
  std::thread([&] {
    spawned = spawn({.path = "/bin/sleep", .args = {"30"}, .parentDeathSignal = SIGTERM});
  }).join();
  ASSERT_TRUE(spawned) << spawned.error().message();
  const int status = waitFor(spawned->pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}
#endif

}  // namespace
}  // namespace brimvale
