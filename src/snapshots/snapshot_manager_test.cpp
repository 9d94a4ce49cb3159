#include "snapshots/snapshot_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::snapshots {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RecordingRecorder : public ThinningRecorder {
 public:
  void rememberLastReclaim(double epochSeconds) override { reclaimedAt.push_back(epochSeconds); }
  void recordLedgerRun(std::string_view job, std::string_view summary) override {
    ledger.emplace_back(std::string(job) + ": " + std::string(summary));
  }
  std::vector<double> reclaimedAt;
  std::vector<std::string> ledger;
};

// A private folder holding a link to one of the stand-in tools.
class StandinFixture : public ::testing::Test {
 protected:
  std::string useStandin(const char* script) {
    tool_ = dir_ / "tmutil";
    std::filesystem::create_symlink(std::filesystem::path(BRIMVALE_STANDINS_DIR) / script, tool_);
    return tool_.string();
  }
  void reply(const std::string& out, int exitCode = 0, const std::string& err = {}) {
    ASSERT_TRUE(writeFileAtomically(tool_.string() + ".out", out));
    ASSERT_TRUE(writeFileAtomically(tool_.string() + ".err", err));
    ASSERT_TRUE(writeFileAtomically(tool_.string() + ".rc", std::to_string(exitCode)));
  }
  // Every argument of every call, in order.
  std::vector<std::string> arguments() {
    std::vector<std::string> args;
    auto content = readFile(tool_.string() + ".args");
    if (!content) return args;
    std::size_t start = 0;
    for (auto nul = content->find('\0'); nul != std::string::npos;
         nul = content->find('\0', start)) {
      args.push_back(content->substr(start, nul - start));
      start = nul + 1;
    }
    return args;
  }
  SnapshotManager manager(std::string toolPath, SnapshotTimeouts timeouts = {}) {
    return SnapshotManager(
        {.toolPath = std::move(toolPath), .timeouts = timeouts, .run = runProcess}, recorder_,
        [] { return StartupCapacity{}; }, [] { return std::time_t{1'700'000'000}; });
  }

  brimvale::testing::TempFolder tmp_{"bv-snapshots"};
  const std::filesystem::path dir_ = tmp_.path();
  std::filesystem::path tool_;
  RecordingRecorder recorder_;
};

TEST_F(StandinFixture, RefusedDeletesNeverReachTheTool) {
  auto m = manager(useStandin("snapshots_canned_tool"));
  EXPECT_EQ(m.deleteSnapshot("2024-05-01-09300").error().kind,
            SnapshotErrorKind::kInvalidIdentifier);
  EXPECT_EQ(m.deleteSnapshot("com.apple.os.update-8A1B").error().description(),
            "Snapshot com.apple.os.update-8A1B is required by macOS and can't be removed.");
  EXPECT_THAT(arguments(), IsEmpty());

  ASSERT_TRUE(m.deleteSnapshot("2024-05-01-093000"));
  EXPECT_THAT(arguments(), ElementsAre("deletelocalsnapshots", "2024-05-01-093000"));
}

}  // namespace
}  // namespace brimvale::snapshots
