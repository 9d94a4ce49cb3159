#include "common/state/remembered_versions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;

// Each row: what happens between two `--version` runs of one program, and
// whether the second run starts the program again.
TEST(RememberingVersions, AsksAgainOnlyWhenTheProgramOrTheRecordChanged) {
  struct Row {
    std::string what;
    std::function<void(const fs::path& program, const fs::path& record)> between;
    bool askedAgain;
  };
  const std::vector<Row> rows = {
      {"nothing", [](const fs::path&, const fs::path&) {}, false},
      {"program rewritten in place",
       [](const fs::path& program, const fs::path&) {
         std::ofstream(program, std::ios::app) << "upgraded";
       },
       true},
      {"program replaced by another file",
       [](const fs::path& program, const fs::path&) {
         std::ofstream(program.string() + ".new") << "#!other";
         fs::rename(program.string() + ".new", program);
       },
       true},
      {"record damaged",
       [](const fs::path&, const fs::path& record) { std::ofstream(record) << "{\"/bin/x\": ["; },
       true},
      {"record removed", [](const fs::path&, const fs::path& record) { fs::remove(record); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing::TempFolder tmp;
    const fs::path program = tmp.file("bin/rsync", "#!program");
    const fs::path record = tmp / "state" / "versions.json";
    fs::create_directories(record.parent_path());
    int started = 0;
    const ProcessRunner run = rememberingVersions(
        [&](const ProcessInvocation&) {
          ++started;
          ProcessResult answer;
          answer.outcome = ProcessOutcome::kExited;
          answer.exitCode = 0;
          answer.out = "rsync  version 3.2.7  protocol version 31\n";
          return answer;
        },
        record);
    const ProcessInvocation version{.path = program.string(), .args = {"--version"}};
    ASSERT_EQ(run(version).out, "rsync  version 3.2.7  protocol version 31\n");
    row.between(program, record);
    const ProcessResult again = run(version);
    EXPECT_EQ(started, row.askedAgain ? 2 : 1);
    EXPECT_EQ(again.outcome, ProcessOutcome::kExited);
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, "rsync  version 3.2.7  protocol version 31\n");
  }
}

// Only an answer given is kept: a program that timed out, or any other
// command, is run every time.
TEST(RememberingVersions, KeepsNothingButAnsweredVersionRuns) {
  testing::TempFolder tmp;
  const fs::path program = tmp.file("bin/rsync", "#!program");
  int started = 0;
  ProcessOutcome outcome = ProcessOutcome::kTimedOut;
  const ProcessRunner run = rememberingVersions(
      [&](const ProcessInvocation&) {
        ++started;
        ProcessResult answer;
        answer.outcome = outcome;
        return answer;
      },
      tmp / "versions.json");
  const ProcessInvocation version{.path = program.string(), .args = {"--version"}};
  const ProcessInvocation copy{.path = program.string(), .args = {"-a", "x/", "y/"}};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(run(version).outcome, ProcessOutcome::kTimedOut);
    (void)run(copy);
  }
  EXPECT_EQ(started, 4);
  EXPECT_FALSE(fs::exists(tmp / "versions.json"));
}

}  // namespace
}  // namespace brimvale
