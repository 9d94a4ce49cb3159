#include "common/base/process.h"

#include <gtest/gtest.h>

#include <string>

namespace brimvale {
namespace {

using namespace std::chrono_literals;

TEST(RunProcess, DistinguishesEveryWayAProgramCanEnd) {
  struct Case {
    const char* name;
    ProcessInvocation invocation;
    ProcessOutcome outcome;
    int code;
  };
  const Case cases[] = {
      {"exit code", {.path = "/bin/sh", .args = {"-c", "exit 3"}}, ProcessOutcome::kExited, 3},
      {"signal", {.path = "/bin/sh", .args = {"-c", "kill -9 $$"}}, ProcessOutcome::kSignalled, -1},
      {"deadline",
       {.path = "/bin/sleep", .args = {"30"}, .deadline = 200ms},
       ProcessOutcome::kTimedOut,
       -1},
      {"ignores SIGTERM",
       {.path = "/bin/sh",
        .args = {"-c", "trap '' TERM; while :; do sleep 1; done"},
        .deadline = 200ms,
        .killGrace = 200ms},
       ProcessOutcome::kTimedOut,
       -1},
      {"missing program", {.path = "/nonexistent/tool"}, ProcessOutcome::kFailedToStart, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = runProcess(c.invocation);
    EXPECT_EQ(r.outcome, c.outcome) << r.describe();
    EXPECT_EQ(r.exitCode, c.code);
  }
}

TEST(RunProcess, ReturnsWhenADescendantKeepsThePipeOpen) {
  // The shell exits at once; its background child holds stdout for 30 s.
  ProcessResult r = runProcess({.path = "/bin/sh", .args = {"-c", "echo hi; sleep 30 & exit 0"}});
  EXPECT_TRUE(r.succeeded()) << r.describe();
  EXPECT_EQ(r.out, "hi\n");
}

}  // namespace
}  // namespace brimvale
