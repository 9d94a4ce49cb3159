#include "platform/macos/mac_app_relocation_tools.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/base/temp_folder.h"

namespace brimvale::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Args = std::vector<std::string>;

// A runner that records each invocation and answers with `reply`.
struct Recorder {
  std::vector<ProcessInvocation> runs;
  ProcessResult reply{.outcome = ProcessOutcome::kExited, .exitCode = 0};
  std::unique_ptr<AppRelocationTools> tools() {
    return makeMacAppRelocationTools(MacAppToolPaths{}, [this](const ProcessInvocation& run) {
      runs.push_back(run);
      return reply;
    });
  }
};

TEST(MacAppRelocationTools, NeverCopiesOntoSomethingThatExists) {
  brimvale::testing::TempFolder dir;
  dir.folder("Apps/X.app");
  Recorder r;
  const ToolStep step = r.tools()->copyBundle("/Applications/X.app", (dir / "Apps/X.app").string(),
                                              "ditto", seconds{86400}, {});
  ASSERT_FALSE(step.has_value());
  EXPECT_EQ(step.error().kind, ToolFailure::Kind::kExited);
  EXPECT_EQ(step.error().shortName, "ditto");
  EXPECT_EQ(step.error().detail, "There's already something at " + (dir / "Apps/X.app").string() +
                                     ", so nothing was copied.");
  EXPECT_TRUE(r.runs.empty()) << "ditto would have merged into it";
}

TEST(MacAppRelocationTools, ReadsTheAdministratorSessionsAnswer) {
  struct Case {
    const char* name;
    ProcessResult reply;
    PrivilegedOutcome outcome;
    std::string detail;  // a part of it
  };
  auto exited = [](int code, std::string out, std::string err) {
    return ProcessResult{
        .outcome = ProcessOutcome::kExited, .exitCode = code, .out = out, .err = err};
  };
  const ProcessResult noOsascript{.outcome = ProcessOutcome::kFailedToStart,
                                  .launchError = "No such file or directory"};
  const Case cases[] = {
      {"done", exited(0, "__BVX__:0\n", ""), PrivilegedOutcome::kSuccess, ""},
      {"command failed, returns for line feeds",
       exited(0, "mv: rename /a to /b: Permission denied\r__BVX__:1\n", ""),
       PrivilegedOutcome::kFailed,
       "(exit 1) and may not have finished its work: mv: rename /a to /b: Permission denied."},
      {"prompt cancelled", exited(1, "", "0:143: execution error: User canceled. (-128)\n"),
       PrivilegedOutcome::kCancelled, ""},
      {"no osascript", noOsascript, PrivilegedOutcome::kFailed,
       "Couldn't ask for administrator access (No such file or directory), so nothing was "
       "changed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r;
    r.reply = c.reply;
    const PrivilegedResult result = r.tools()->runPrivileged("/bin/rm -rf '/q/X.app'");
    EXPECT_EQ(result.outcome, c.outcome) << result.detail;
    EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
    ASSERT_EQ(r.runs.size(), 1u);
    EXPECT_EQ(r.runs[0].path, "/usr/bin/osascript");
    EXPECT_EQ(r.runs[0].args,
              (Args{"-e",
                    "do shell script \"/bin/rm -rf '/q/X.app'; echo \\\"__BVX__:$?\\\"\" with "
                    "administrator privileges"}));
    EXPECT_EQ(r.runs[0].deadline, std::chrono::minutes(10));
  }
}

}  // namespace
}  // namespace brimvale::platform
