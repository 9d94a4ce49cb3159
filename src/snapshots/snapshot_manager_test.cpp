#include "snapshots/snapshot_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

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
        {.toolPath = std::move(toolPath), .timeouts = timeouts}, recorder_,
        [] { return StartupCapacity{}; }, [] { return std::time_t{1'700'000'000}; });
  }

  brimvale::testing::TempFolder tmp_{"bv-snapshots"};
  const std::filesystem::path dir_ = tmp_.path();
  std::filesystem::path tool_;
  RecordingRecorder recorder_;
};

// Given no tool at all the feature is unavailable; given a path that is no
// program, the tool is missing. Either way every command fails unrun.
TEST_F(StandinFixture, MissingOrUnavailableToolFailsEveryCommand) {
  const std::pair<std::string, SnapshotErrorKind> cases[] = {
      {std::string(), SnapshotErrorKind::kUnavailable},
      {(dir_ / "absent").string(), SnapshotErrorKind::kToolMissing},
      {dir_.string(), SnapshotErrorKind::kToolMissing},
  };
  for (const auto& [path, kind] : cases) {
    SCOPED_TRACE(path);
    auto m = manager(path);
    EXPECT_EQ(m.available(), !path.empty());
    EXPECT_EQ(m.listLocalSnapshots().error().kind, kind);
    EXPECT_EQ(m.deleteSnapshot("2024-05-01-093000").error().kind, kind);
    EXPECT_EQ(m.thinLocalSnapshots(1, 1).error().kind, kind);
    EXPECT_EQ(m.destinationInfo().error().kind, kind);
    EXPECT_EQ(m.latestBackup("/Volumes/B").error().kind, kind);
  }
  EXPECT_THAT(recorder_.ledger, IsEmpty());
}

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

TEST_F(StandinFixture, SuccessfulThinningIsRememberedAndLedgered) {
  auto m = manager(useStandin("snapshots_canned_tool"));
  ASSERT_TRUE(m.thinLocalSnapshots(0, 9));
  EXPECT_THAT(arguments(), ElementsAre("thinlocalsnapshots", "/", "1", "4"));
  EXPECT_THAT(recorder_.reclaimedAt, ElementsAre(1'700'000'000.0));
  EXPECT_THAT(recorder_.ledger,
              ElementsAre("local_snapshots: Tidied old restore points to free up space."));
}

TEST_F(StandinFixture, FailedThinningReportsTheToolAndRecordsNothing) {
  auto m = manager(useStandin("snapshots_canned_tool"));
  reply("", 3, "thinning refused\n");
  auto result = m.thinLocalSnapshots(kReclaimAllBytes, kMostUrgent);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(),
            "Time Machine command failed (3): tmutil thinlocalsnapshots / 100000000000 4\n"
            "thinning refused\n");
  EXPECT_THAT(recorder_.reclaimedAt, IsEmpty());
  EXPECT_THAT(recorder_.ledger, IsEmpty());
}

TEST_F(StandinFixture, ReadingCommandsPassTheirArgumentsAndParse) {
  auto m = manager(useStandin("snapshots_canned_tool"));
  reply("Snapshots for disk /:\ncom.apple.TimeMachine.2024-05-01-093000.local\n");
  auto list = m.listLocalSnapshots();
  ASSERT_TRUE(list) << list.error().description();
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0].stamp, "2024-05-01-093000");

  reply("Name : Backup\nMount Point : /Volumes/Back up\n");
  auto destination = m.destinationInfo();
  ASSERT_TRUE(destination && *destination);
  EXPECT_EQ((*destination)->mountPoint, "/Volumes/Back up");

  reply("/Volumes/Back up/Backups.backupdb/Mac/2024-05-01-093000\n");
  auto backup = m.latestBackup("/Volumes/Back up");
  ASSERT_TRUE(backup && *backup);
  EXPECT_TRUE((*backup)->date);
  EXPECT_THAT(arguments(), ElementsAre("listlocalsnapshots", "/", "destinationinfo", "latestbackup",
                                       "-d", "/Volumes/Back up"));
}

// Given a tool that ignores the request to stop, then it is killed and the
// whole command is named in the error.
TEST_F(StandinFixture, HangingToolIsStoppedAndReported) {
  SnapshotTimeouts quick{.list = std::chrono::milliseconds(200),
                         .thin = std::chrono::milliseconds(200),
                         .killGrace = std::chrono::milliseconds(100)};
  auto m = manager(useStandin("snapshots_hanging_tool"), quick);
  auto list = m.listLocalSnapshots();
  ASSERT_FALSE(list);
  EXPECT_EQ(list.error().description(),
            "Time Machine command timed out: tmutil listlocalsnapshots /");
  auto thin = m.thinLocalSnapshots(5, 2);
  ASSERT_FALSE(thin);
  EXPECT_EQ(thin.error().description(),
            "Time Machine command timed out: tmutil thinlocalsnapshots / 5 2");
  EXPECT_THAT(recorder_.ledger, IsEmpty());
}

}  // namespace
}  // namespace brimvale::snapshots
