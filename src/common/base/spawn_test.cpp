#include "common/base/spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

using brimvale::testing::TempFolder;

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

}  // namespace
}  // namespace brimvale
