#include "platform/app_relocation_tool_steps.h"

#include <gtest/gtest.h>

namespace brimvale::platform {
namespace {

using Kind = ToolFailure::Kind;

ProcessResult exited(int code, std::string out = {}, std::string err = {}) {
  return {.outcome = ProcessOutcome::kExited, .exitCode = code, .out = out, .err = err};
}
ProcessResult signalled(int signal, std::string err = {}) {
  return {.outcome = ProcessOutcome::kSignalled, .signal = signal, .err = err};
}
ProcessResult notStarted(std::string why) {
  return {.outcome = ProcessOutcome::kFailedToStart, .launchError = why};
}
const ProcessResult kTimedOut{.outcome = ProcessOutcome::kTimedOut};

TEST(AppRelocationToolSteps, ProcessEndsBecomeToolSteps) {
  struct Case {
    const char* name;
    ProcessResult result;
    bool ok;
    Kind kind;
    int exitCode;
    std::string detail;
    std::chrono::seconds deadline;
  };
  const Case cases[] = {
      {"exit 0", exited(0, "", "warning only"), true, {}, 0, "", std::chrono::seconds{0}},
      {"exit 2 with errors", exited(2, "out", " bad bundle\n"), false, Kind::kExited, 2,
       "bad bundle", std::chrono::seconds{0}},
      {"signal", signalled(9), false, Kind::kExited, 137, "killed by signal 9",
       std::chrono::seconds{0}},
      {"timeout", kTimedOut, false, Kind::kTimedOut, 0, "", std::chrono::seconds{15}},
      {"no start", notStarted("No such file or directory"), false, Kind::kFailedToStart, 0,
       "No such file or directory", std::chrono::seconds{0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolStep step = toolStepFrom(c.result, "lsregister", std::chrono::seconds{15});
    ASSERT_EQ(step.has_value(), c.ok);
    if (c.ok) continue;
    EXPECT_EQ(step.error().kind, c.kind);
    EXPECT_EQ(step.error().shortName, "lsregister");
    EXPECT_EQ(step.error().exitCode, c.exitCode);
    EXPECT_EQ(step.error().detail, c.detail);
    EXPECT_EQ(step.error().deadline, c.deadline);
  }
}

TEST(AppRelocationToolSteps, StatusLineIsReadBackFromAnyOutput) {
  struct Case {
    const char* output;
    std::optional<int> status;
    const char* said;
  };
  const Case cases[] = {
      {"__BVX__:0\n", 0, ""},
      {"moved\n__BVX__:1\n", 1, "moved"},
      {"moved\r__BVX__:0", 0, "moved"},   // the administrator session turns \n into \r
      {"__BVX__:0\n__BVX__:2\n", 2, ""},  // a command echoing the marker cannot fake success
      {"x __BVX__:0\n", std::nullopt, "x __BVX__:0"},
      {"", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    EXPECT_EQ(reportedStatus(c.output), c.status);
    EXPECT_EQ(withoutStatusLines(c.output), c.said);
  }
}

TEST(AppRelocationToolSteps, PrivilegedResultsSayWhatHappened) {
  struct Case {
    const char* name;
    ProcessResult result;
    PrivilegedOutcome outcome;
    std::vector<std::string> saying;
  };
  const Case cases[] = {
      {"status 0", exited(0, "__BVX__:0\n"), PrivilegedOutcome::kSuccess, {}},
      {"status 1",
       exited(0, "__BVX__:1\n", "mv: cannot move 'a'\n"),
       PrivilegedOutcome::kFailed,
       {"failed (exit 1)", ": mv: cannot move 'a'."}},
      {"killed",
       signalled(9, "boom"),
       PrivilegedOutcome::kFailed,
       {"killed by signal 9", "check the app", ": boom."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PrivilegedResult r =
        reportedPrivilegedResult(c.result).value_or(unreportedPrivilegedResult(c.result));
    EXPECT_EQ(r.outcome, c.outcome);
    for (const auto& part : c.saying) EXPECT_NE(r.detail.find(part), std::string::npos) << r.detail;
    if (c.outcome != PrivilegedOutcome::kSuccess) {
      EXPECT_EQ(r.detail.back(), '.') << r.detail;
    }
  }
}

}  // namespace
}  // namespace brimvale::platform
